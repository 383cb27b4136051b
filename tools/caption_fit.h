#ifndef TOOLS_CAPTION_FIT_H
#define TOOLS_CAPTION_FIT_H

// Which texts of a window do not fit the room their widget gives them: a
// caption, a button or radio-button text, or a spin box's widest value;
// which captions do not sit level with the control to their right; which
// text fields have no room for their line or lose part of their frame.
// Used by the screenshot tool and the window tests, at every screen density.

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QtMath>

#include <cmath>
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

// ---------------------------------------------------------------------------
// Captions level with their controls.

// Named widgets the form made, in the window itself (not in one it opened);
// the toolkit's own parts have no name or a qt_ one.
inline bool named(const QWidget* w, const QWidget* window)
{
    return !w->objectName().isEmpty() && !w->objectName().startsWith("qt_") && w->window() == window;
}

inline bool is_control(const QWidget* w)
{
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
           qobject_cast<const QComboBox*>(w) || qobject_cast<const QAbstractSlider*>(w) ||
           qobject_cast<const QPlainTextEdit*>(w) || qobject_cast<const QTextEdit*>(w);
}

inline QRect in_window(const QWidget* w, const QWidget* window)
{
    return QRect(w->mapTo(window, QPoint(0, 0)), w->size());
}

// The tab page a widget lies on, or the window when on none.
inline QWidget* page_of(QWidget* w, QWidget* window)
{
    QWidget* page = window;
    for (; w && w != window; w = w->parentWidget()) {
        QWidget* stack = w->parentWidget();
        auto* tabs = qobject_cast<QTabWidget*>(stack ? stack->parentWidget() : nullptr);
        if (tabs && tabs->indexOf(w) >= 0)
            page = w;
    }
    return page;
}

// The vertical middle of a one-line caption's text in window pixels, where
// the label's alignment puts it.
inline double text_middle(const QLabel* label, const QWidget* window)
{
    const QRect room = label->contentsRect();
    const int h = label->fontMetrics().height();
    int top = room.top() + (room.height() - h) / 2;
    if (label->alignment() & Qt::AlignTop)
        top = room.top();
    else if (label->alignment() & Qt::AlignBottom)
        top = room.bottom() + 1 - h;
    return label->mapTo(window, QPoint(0, top)).y() + h / 2.0;
}

// One line per caption whose text is not vertically centred, within a
// pixel, on the control that stands just to its right (at most `gap`
// pixels away, overlapping it in height).
inline QStringList off_level(QWidget* window, int gap = 12)
{
    const QList<QWidget*> all = window->findChildren<QWidget*>();
    QStringList out;
    for (QWidget* w : all) {
        auto* label = qobject_cast<QLabel*>(w);
        if (!label || !named(label, window) || label->text().isEmpty() || label->text().contains('\n') ||
            label->textFormat() == Qt::RichText || Qt::mightBeRichText(label->text()))
            continue;
        const QRect caption = in_window(label, window);
        QWidget* control = nullptr;
        int nearest = gap + 1;
        QWidget* page = page_of(label, window);
        for (QWidget* c : all) {
            if (!is_control(c) || !named(c, window) || page_of(c, window) != page)
                continue;
            const QRect r = in_window(c, window);
            const int distance = r.left() - caption.right() - 1;
            const bool beside = r.top() <= caption.bottom() && r.bottom() >= caption.top();
            if (beside && distance >= 0 && distance < nearest) {
                nearest = distance;
                control = c;
            }
        }
        if (!control)
            continue;
        const QRect r = in_window(control, window);
        const double text = text_middle(label, window);
        const double middle = r.top() + r.height() / 2.0;
        if (std::abs(text - middle) > 1.0)
            out << QString("%1: \"%2\" has its middle at y %3, %4 at y %5")
                       .arg(label->objectName(), label->text())
                       .arg(text)
                       .arg(control->objectName())
                       .arg(middle);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Text fields: room for their line, and a whole frame.

inline QList<QAbstractScrollArea*> text_fields(QWidget* window)
{
    QList<QAbstractScrollArea*> out;
    for (QAbstractScrollArea* a : window->findChildren<QAbstractScrollArea*>()) {
        if (named(a, window) && (qobject_cast<QPlainTextEdit*>(a) || qobject_cast<QTextEdit*>(a)))
            out << a;
    }
    return out;
}

inline qreal document_margin(const QAbstractScrollArea* field)
{
    if (auto* plain = qobject_cast<const QPlainTextEdit*>(field))
        return plain->document()->documentMargin();
    return static_cast<const QTextEdit*>(field)->document()->documentMargin();
}

// Where a field's frame lies, in its parent's pixels: its own edge, or a
// pixel outside it when a box behind the field draws the frame.
inline QRect frame_rect(const QAbstractScrollArea* field)
{
    return field->frameWidth() > 0 ? field->geometry() : field->geometry().adjusted(-1, -1, 1, 1);
}

inline int colour_distance(QRgb a, QRgb b)
{
    return qMax(qAbs(qRed(a) - qRed(b)), qMax(qAbs(qGreen(a) - qGreen(b)), qAbs(qBlue(a) - qBlue(b))));
}

// Whether the image shows a line along one side of `r` (window pixels)
// that differs from both the colour just outside and the colour just inside
// at nine points in ten: the frame. `side` is 0 top, 1 bottom, 2 left,
// 3 right. The line is searched for where a one-pixel frame lands at the
// image's scale, a device pixel either way.
inline bool frame_line(const QImage& image, const QRect& r, int side)
{
    const qreal s = image.devicePixelRatioF();
    const bool across = side < 2;  // a row of pixels
    const qreal near = across ? r.top() : r.left();
    const qreal far = across ? r.top() + r.height() : r.left() + r.width();
    const qreal from = across ? r.left() : r.top();
    const qreal to = across ? r.left() + r.width() : r.top() + r.height();
    const bool first = side % 2 == 0;
    const int lo = first ? qFloor(near * s) - 1 : qFloor((far - 1) * s) - 1;
    const int hi = first ? qCeil((near + 1) * s) : qCeil(far * s);
    const int outside = first ? qFloor((near - 2) * s) : qFloor((far + 2) * s);
    const int inside = first ? qFloor((near + 2.5) * s) : qFloor((far - 2.5) * s);
    auto at = [&](int along, int line) {
        return across ? image.pixel(along, line) : image.pixel(line, along);
    };
    const int limit = across ? image.height() : image.width();
    const int a0 = qMax(qCeil((from + 3) * s), 0);
    const int a1 = qMin(qFloor((to - 3) * s), across ? image.width() : image.height());
    if (outside < 0 || outside >= limit || a1 <= a0)
        return false;
    for (int line = qMax(lo, 0); line <= qMin(hi, limit - 1); ++line) {
        int differs = 0;
        for (int a = a0; a < a1; ++a) {
            const QRgb p = at(a, line);
            if (colour_distance(p, at(a, outside)) >= 24 && colour_distance(p, at(a, inside)) >= 24)
                ++differs;
        }
        if (differs * 10 >= (a1 - a0) * 9)
            return true;
    }
    return false;
}

// One line per text field that has no room for one line of its text (its
// font's line, the document's margins and its frame), whose frame reaches
// past its parent's contents, or whose frame the window, drawn at its
// density, does not show on every side. Shows the tab of each field while
// drawing it, and the tab that was shown afterwards.
inline QStringList frames_cut(QWidget* window)
{
    QStringList out;
    for (QAbstractScrollArea* field : text_fields(window)) {
        const QString name = field->objectName();
        const int need = field->fontMetrics().height() + qCeil(2 * document_margin(field)) + 2 * field->frameWidth();
        if (need > field->height())
            out << QString("%1: one line needs %2 pixels, has %3").arg(name).arg(need).arg(field->height());
        const QRect frame = frame_rect(field);
        QWidget* parent = field->parentWidget();
        if (!parent->contentsRect().contains(frame))
            out << QString("%1: frame %2,%3 %4x%5 reaches past %6")
                       .arg(name)
                       .arg(frame.x())
                       .arg(frame.y())
                       .arg(frame.width())
                       .arg(frame.height())
                       .arg(parent->objectName());
        // The tab that holds the field is shown while the window is drawn.
        QWidget* page = page_of(field, window);
        auto* tabs = page == window ? nullptr : qobject_cast<QTabWidget*>(page->parentWidget()->parentWidget());
        const int shown = tabs ? tabs->currentIndex() : -1;
        if (tabs)
            tabs->setCurrentWidget(page);
        const QImage image = window->grab().toImage();
        if (tabs)
            tabs->setCurrentIndex(shown);
        const QRect onWindow(parent->mapTo(window, frame.topLeft()), frame.size());
        const char* const sides[] = {"top", "bottom", "left", "right"};
        QStringList missing;
        for (int side = 0; side < 4; ++side) {
            if (!frame_line(image, onWindow, side))
                missing << sides[side];
        }
        if (!missing.isEmpty())
            out << QString("%1: frame not drawn along its %2 at %3 device pixels per pixel")
                       .arg(name, missing.join(", "))
                       .arg(image.devicePixelRatioF());
    }
    return out;
}

}  // namespace caption_fit

#endif
