#include "status_area.h"

#include <QEvent>
#include <QLabel>
#include <QStatusBar>

#include "log_window.h"
#include "run_log.h"

namespace {

// Refits a label when its width changes: the window's layout gives it its
// width only once shown.
class RefitOnResize : public QObject {
public:
    explicit RefitOnResize(QLabel* label) : QObject(label) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize)
            fitTextWhole(static_cast<QLabel*>(watched));
        return false;
    }
};

// What was printed on standard output before comes first.
void appendToLog(const QByteArray& line)
{
    RunLog& log = RunLog::instance();
    log.takeStandardOutput();
    log.append(line);
}

}  // namespace

void keepTextWhole(QLabel* label)
{
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    label->installEventFilter(new RefitOnResize(label));
    fitTextWhole(label);
}

void fitTextWhole(QLabel* label)
{
    const QMargins frame = label->contentsMargins();
    const int twoLines = 2 * label->fontMetrics().lineSpacing() + frame.top() + frame.bottom() + 2 * label->margin();
    // Before the window is shown the label has no width of its own yet; the
    // first resize fits it.
    const int needed = label->isVisible() ? label->heightForWidth(label->width()) : 0;
    const int height = qMax(twoLines, needed);
    if (label->minimumHeight() != height)
        label->setMinimumHeight(height);
}

QLabel* addStatusArea(QStatusBar* bar)
{
    QLabel* text = new QLabel(bar);
    text->setObjectName("label_status");
    // It takes the room the bar's own drawing of a message would; the
    // message then has no width left to be drawn in a second time.
    text->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    keepTextWhole(text);
    bar->addPermanentWidget(text, 1);
    QObject::connect(bar, &QStatusBar::messageChanged, text, [text](const QString& message) {
        text->setText(message);
        fitTextWhole(text);
        if (message.startsWith("Error:"))
            appendToLog(statusLine(message));
    });
    return text;
}

OwnerAction::OwnerAction(const QStatusBar* bar, const QString& action) : bar(bar)
{
    appendToLog("Owner: " + action.toLocal8Bit() + "\n");
}

OwnerAction::~OwnerAction() { logOutcome(bar); }

void logOutcome(const QStatusBar* bar)
{
    const QString message = bar->currentMessage();
    if (!message.isEmpty() && !message.startsWith("Error:"))
        appendToLog(statusLine(message));
}
