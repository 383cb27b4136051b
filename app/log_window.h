#ifndef APP_LOG_WINDOW_H
#define APP_LOG_WINDOW_H

#include <QDialog>
#include <QString>

#include <functional>

class QLabel;
class QPlainTextEdit;
class QStatusBar;

// Shows the run's log (RunLog) live: what arrives is added at the end, and
// a view that was at the end stays there. The whole log can be copied or
// saved to a file of the user's choice.
class LogWindow : public QDialog {
    Q_OBJECT

public:
    explicit LogWindow(QWidget* parent = nullptr);

    // Shows the window at the end of the log.
    void showEnd();
    // Shows the window at the last line that recorded the status text
    // `status` (see statusLine), with the lines that led to it above; at the
    // end when no such line is kept.
    void showFailure(const QString& status);

    void copyAll();
    void saveAs();

    QPlainTextEdit* view;
    QLabel* fileLabel;

private:
    void takeNewText();
    void present();

    qint64 taken;
};

// The log line that records a status text.
QByteArray statusLine(const QString& status);

// Calls `open` with the status bar's message when the user clicks an
// "Error:" text there; the text's tooltip says so.
void openOnErrorClick(QStatusBar* bar, std::function<void(const QString&)> open);

#endif
