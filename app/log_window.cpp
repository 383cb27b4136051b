#include "log_window.h"

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>

#include "run_log.h"

namespace {

// Turns a click on an "Error:" text of a status bar into a call.
class ErrorClick : public QObject {
public:
    ErrorClick(QStatusBar* bar, std::function<void(const QString&)> open) : QObject(bar), open(std::move(open)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::MouseButtonRelease ||
            static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton)
            return false;
        const QString message = static_cast<QStatusBar*>(watched)->currentMessage();
        if (!message.startsWith("Error:"))
            return false;
        open(message);
        return true;
    }

private:
    std::function<void(const QString&)> open;
};

}  // namespace

QByteArray statusLine(const QString& status)
{
    return "Status bar: " + status.toLocal8Bit() + "\n";
}

void openOnErrorClick(QStatusBar* bar, std::function<void(const QString&)> open)
{
    bar->installEventFilter(new ErrorClick(bar, std::move(open)));
    QObject::connect(bar, &QStatusBar::messageChanged, bar, [bar](const QString& message) {
        bar->setToolTip(message.startsWith("Error:") ? QString("Click to see this error in the log") : QString());
    });
}

LogWindow::LogWindow(QWidget* parent) : QDialog(parent, Qt::Window), view(nullptr), fileLabel(nullptr), taken(0)
{
    setObjectName("logWindow");
    setWindowTitle("Skarvel EFIS Config - Log");
    resize(900, 520);

    fileLabel = new QLabel(this);
    fileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    view = new QPlainTextEdit(this);
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    // Not centred on scroll: that would let the view scroll past the end,
    // and at its end the last line would stand at the top of an empty page.
    view->setCenterOnScroll(false);

    QPushButton* copy = new QPushButton("&Copy", this);
    QPushButton* save = new QPushButton("&Save As...", this);
    QPushButton* close = new QPushButton("Close", this);
    connect(copy, &QPushButton::clicked, this, &LogWindow::copyAll);
    connect(save, &QPushButton::clicked, this, &LogWindow::saveAs);
    connect(close, &QPushButton::clicked, this, &QDialog::close);

    QHBoxLayout* buttons = new QHBoxLayout;
    buttons->addWidget(copy);
    buttons->addWidget(save);
    buttons->addStretch();
    buttons->addWidget(close);
    QVBoxLayout* layout = new QVBoxLayout(this);
    layout->addWidget(fileLabel);
    layout->addWidget(view);
    layout->addLayout(buttons);

    // Queued: a line logged while the view takes text in must not come
    // back into it.
    connect(&RunLog::instance(), &RunLog::grown, this, &LogWindow::takeNewText, Qt::QueuedConnection);
    takeNewText();
}

void LogWindow::takeNewText()
{
    fileLabel->setText("Log file: " + RunLog::instance().shownFilePath());
    QByteArray more = RunLog::instance().textFrom(&taken);
    if (more.isEmpty())
        return;
    more.chop(1);
    QScrollBar* bar = view->verticalScrollBar();
    const bool atEnd = bar->value() == bar->maximum();
    view->appendPlainText(QString::fromLocal8Bit(more));
    if (atEnd)
        bar->setValue(bar->maximum());
}

void LogWindow::present()
{
    show();
    raise();
    activateWindow();
}

void LogWindow::showEnd()
{
    takeNewText();
    // Laid out first: how far the end is depends on the view's height.
    present();
    view->moveCursor(QTextCursor::End);
    view->verticalScrollBar()->setValue(view->verticalScrollBar()->maximum());
    view->horizontalScrollBar()->setValue(0);
}

void LogWindow::showFailure(const QString& status)
{
    takeNewText();
    QByteArray line = statusLine(status);
    line.chop(1);
    QTextCursor end(view->document());
    end.movePosition(QTextCursor::End);
    const QTextCursor found = view->document()->find(QString::fromLocal8Bit(line), end, QTextDocument::FindBackward);
    if (found.isNull()) {
        showEnd();
        return;
    }
    // Laid out first, so that the line can be brought to the middle.
    present();
    QTextCursor at = found;
    at.movePosition(QTextCursor::EndOfBlock);
    at.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
    view->setTextCursor(at);
    // The reasons come just before the status line: keep them in sight
    // (a line near the end stays as low as the end allows).
    view->centerCursor();
    view->horizontalScrollBar()->setValue(0);
}

void LogWindow::copyAll()
{
    takeNewText();
    QApplication::clipboard()->setText(view->toPlainText());
}

void LogWindow::saveAs()
{
    const QString name = QFileDialog::getSaveFileName(this, "Save Log", QDir::homePath() + "/skarvel-efis-config.log",
                                                      "Log Files (*.log);;All Files (*)");
    if (name.isEmpty())
        return;
    takeNewText();
    const QByteArray text = RunLog::instance().text();
    QFile file(name);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size() || !file.flush())
        QMessageBox::warning(this, "Save Log",
                             QString("The log could not be saved to %1: %2").arg(name, file.errorString()));
}
