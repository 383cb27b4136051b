#ifndef SETTINGS_DOC_SETTINGS_INTERNAL_H
#define SETTINGS_DOC_SETTINGS_INTERNAL_H

// What the settings table (settings_file.cpp) and the documents
// (document_checks.cpp) both use; not part of the settings' interface.

#include <QJsonValue>
#include <QString>

#include "settings_file.h"

namespace settings_doc {
namespace internal {

// A whole number from JSON or text.
bool whole(const QJsonValue& v, long long* out);

// A JSON value as an error message quotes it.
QString json_text(const QJsonValue& v);

// Every setting, in index order, for a range-for.
struct SettingRange {
    const Setting* first;
    const Setting* last;
    const Setting* begin() const { return first; }
    const Setting* end() const { return last; }
};
SettingRange all_settings();

}  // namespace internal
}  // namespace settings_doc

#endif
