#ifndef APP_STATUS_AREA_H
#define APP_STATUS_AREA_H

class QLabel;
class QString;
class QStatusBar;

// The status bar's texts are read whole. QStatusBar draws a message on one
// line and cuts it where the link indicator starts, so a reason of a
// hundred characters lost its end; labels that wrap take its place.

// A label that wraps its text, is two lines high, and grows when a text
// needs more lines at the width it has. Call fitTextWhole after setText.
void keepTextWhole(QLabel* label);
void fitTextWhole(QLabel* label);

// The bar's messages in such a label ("label_status"), left of the widgets
// added after it. The bar keeps its messages (currentMessage, timeouts);
// only their drawing moves to the label. An "Error:" text goes to the log
// as it shows.
QLabel* addStatusArea(QStatusBar* bar);

// The log keeps what the owner did and what came of it, in the order it
// happened: the action when it starts, the bar's text when it is done
// (unless an error, which is logged as it shows).
class OwnerAction {
public:
    OwnerAction(const QStatusBar* bar, const QString& action);
    ~OwnerAction();
    OwnerAction(const OwnerAction&) = delete;
    OwnerAction& operator=(const OwnerAction&) = delete;

private:
    const QStatusBar* bar;
};
// The outcome alone, of an action that ends later (an upload).
void logOutcome(const QStatusBar* bar);

#endif
