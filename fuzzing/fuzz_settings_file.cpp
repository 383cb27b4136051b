// Settings files and NAME=VALUE assignments for the command-line tool:
// anything accepted is within the ranges the window allows.

#include <QJsonObject>

#include "EFIS_shared/get_set.h"
#include "settings_doc/settings_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const Settings_t unit = sim::factory_settings();
    FuzzedDataProvider in(data, size);
    settings_doc::Values values;
    QString error;
    bool accepted;
    if (in.ConsumeBool()) {
        const std::string text = in.ConsumeRemainingBytesAsString();
        QJsonObject doc;
        if (!settings_doc::parse_document(QByteArray(text.data(), int(text.size())), &doc, &error)) {
            fuzz::check(!error.isEmpty(), "a refusal says why");
            return 0;
        }
        accepted = settings_doc::check_document(doc, unit, &values, &error);
    } else {
        size_t n = 0;
        const settings_doc::Setting* table = settings_doc::settings_table(&n);
        const settings_doc::Setting& s = table[in.ConsumeIntegralInRange<size_t>(0, n - 1)];
        const std::string text = in.ConsumeRemainingBytesAsString();
        accepted = settings_doc::parse_text(s, QString::fromUtf8(text.data(), int(text.size())), unit, &values, &error);
    }
    fuzz::check(accepted || !error.isEmpty(), "a refusal says why");
    for (const auto& v : values) {
        Settings_t r = unit;
        uint32_t value = v.second;
        fuzz::check(settings_set_value(&r, v.first, &value), "every value has its place in the record");
        size_t n = 0;
        const settings_doc::Setting* table = settings_doc::settings_table(&n);
        for (size_t i = 0; i < n; ++i) {
            const settings_doc::Setting& s = table[i];
            if (s.index != v.first)
                continue;
            if (s.kind == settings_doc::Kind::Speed || s.kind == settings_doc::Kind::Integer || s.kind == settings_doc::Kind::Volts)
                fuzz::check(int64_t(v.second) >= s.min && int64_t(v.second) <= s.max, "within the window's range");
            if (s.kind == settings_doc::Kind::Colour)
                fuzz::check((v.second >> 24) == 0xFF, "opaque colours");
            if (s.kind == settings_doc::Kind::Icao)
                fuzz::check(v.second <= 0xFFFFFFu, "a 24-bit address");
        }
    }
    return 0;
}
