#include "text.h"

namespace cli {

namespace {

// A byte that was not UTF-8, as arg_text keeps it (not half of a pair).
bool kept_byte(const QString& text, int i)
{
    const ushort u = text[i].unicode();
    return u >= 0xDC80 && u <= 0xDCFF && !(i > 0 && text[i - 1].isHighSurrogate());
}

}  // namespace

QString arg_text(const QByteArray& raw)
{
    static const uint least[] = {0, 0, 0x80, 0x800, 0x10000};
    QString text;
    for (int i = 0; i < raw.size();) {
        const uchar c = uchar(raw[i]);
        const int len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        uint cp = len == 1 ? c : c & (0x7Fu >> len);
        bool ok = len > 0 && i + len <= raw.size();
        for (int k = 1; ok && k < len; ++k) {
            ok = (uchar(raw[i + k]) & 0xC0) == 0x80;
            cp = (cp << 6) | (uchar(raw[i + k]) & 0x3F);
        }
        if (!ok || cp < least[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            text += QChar(ushort(0xDC00 + c));
            ++i;
            continue;
        }
        if (cp >= 0x10000) {
            text += QChar(QChar::highSurrogate(cp));
            text += QChar(QChar::lowSurrogate(cp));
        } else {
            text += QChar(ushort(cp));
        }
        i += len;
    }
    return text;
}

QByteArray arg_bytes(const QString& text)
{
    QByteArray out;
    int from = 0;
    for (int i = 0; i < text.size(); ++i) {
        if (kept_byte(text, i)) {
            out += text.mid(from, i - from).toUtf8();
            out += char(text[i].unicode() - 0xDC00);
            from = i + 1;
        }
    }
    return out + text.mid(from).toUtf8();
}

QByteArray shown(const QString& text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const ushort u = text[i].unicode();
        if (u < 0x20 || (u >= 0x7F && u <= 0x9F) || kept_byte(text, i))
            out += QString("\\x%1").arg(u & 0xFF, 2, 16, QChar('0'));
        else
            out += text[i];
    }
    return out.toUtf8();
}

QString base_name(const QString& path)
{
    if (path == "-")
        return "standard input";
    return QString::fromUtf8(shown(path.mid(path.lastIndexOf('/') + 1)));
}

void say(FILE* f, const QString& text)
{
    std::fputs(shown(text).constData(), f);
    std::fputc('\n', f);
}

}  // namespace cli
