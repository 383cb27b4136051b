#ifndef TOOLS_CAPTION_FIT_H
#define TOOLS_CAPTION_FIT_H

// Which texts of a window do not fit the room their widget gives them: a
// caption, a button or radio-button text, or a spin box's widest value.
// Used by the screenshot tool and the window tests, at every screen density.

#include <QAbstractButton>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTextDocument>
#include <QStringList>
#include <QStyle>
#include <QStyleOptionButton>

namespace caption_fit {

// The texts a spin box shows at the ends of its range, set for a moment
// with its signals blocked.
template <typename Box>
QStringList range_ends(Box* box)
{
    const QSignalBlocker quiet(box);
    const auto kept = box->value();
    QStringList texts;
    for (const auto end : {box->minimum(), box->maximum()}) {
        box->setValue(end);
        texts << box->text();
    }
    box->setValue(kept);
    return texts;
}

// One line per text that is cut off: object name, text, room and need.
inline QStringList clipped(QWidget* window)
{
    QStringList out;
    for (QWidget* w : window->findChildren<QWidget*>()) {
        QStringList texts;
        QRect room;
        QFontMetrics fm = w->fontMetrics();
        int extra = 0;
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (label->textFormat() == Qt::RichText || Qt::mightBeRichText(label->text()))
                continue;
            // A wrapping label fits when its lines do at its width.
            if (label->wordWrap()) {
                if (!label->text().isEmpty() && label->heightForWidth(label->width()) > label->height())
                    out << QString("%1: \"%2\" needs %3 pixels of height, has %4")
                               .arg(w->objectName(), label->text())
                               .arg(label->heightForWidth(label->width()))
                               .arg(label->height());
                continue;
            }
            texts << label->text();
            room = label->contentsRect();
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            QStyleOptionButton opt;
            opt.initFrom(button);
            opt.text = button->text();
            const bool radio = qobject_cast<QRadioButton*>(w) != nullptr;
            room = w->style()->subElementRect(radio ? QStyle::SE_RadioButtonContents : QStyle::SE_PushButtonContents,
                                              &opt, w);
            texts << button->text();
        } else if (auto* spin = qobject_cast<QAbstractSpinBox*>(w)) {
            if (auto* i = qobject_cast<QSpinBox*>(w))
                texts = range_ends(i);
            else if (auto* d = qobject_cast<QDoubleSpinBox*>(w))
                texts = range_ends(d);
            // The line edit keeps 2 pixels each side and a column for the cursor.
            const QLineEdit* edit = spin->findChild<QLineEdit*>();
            if (!edit)
                continue;
            room = edit->contentsRect().adjusted(2, 0, -2, 0);
            fm = edit->fontMetrics();
            extra = 1;
        } else {
            continue;
        }
        for (const QString& text : texts) {
            if (text.isEmpty())
                continue;
            const QSize need(fm.horizontalAdvance(text) + extra, fm.height());
            if (need.width() > room.width() || need.height() > room.height())
                out << QString("%1: \"%2\" needs %3x%4, has %5x%6")
                           .arg(w->objectName(), text)
                           .arg(need.width())
                           .arg(need.height())
                           .arg(room.width())
                           .arg(room.height());
        }
    }
    return out;
}

}  // namespace caption_fit

#endif
