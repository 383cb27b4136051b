// The texts a user types or pastes: ICAO address, registration, colour
// style sheets. Whatever they hold, the record gets a 24-bit address, a
// registration that fits with its terminating zero, and opaque colours.

#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>

#include "EFIS_shared/get_set.h"
#define FUZZ_WITH_WINDOW
#include "fuzz_support.h"
#include "ui_mainwindow.h"

namespace {
MainWindow* g_window = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    g_window = fuzz::make_window(argc, argv, false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const int field = in.ConsumeIntegralInRange<int>(0, 2);
    const std::string bytes = in.ConsumeRemainingBytesAsString();
    const QString text = in.ConsumeBool() ? QString::fromUtf8(bytes.data(), int(bytes.size()))
                                          : QString::fromLatin1(bytes.data(), int(bytes.size()));
    Ui_MainWindow* ui = g_window->ui;
    if (field == 0) {
        ui->text_icao->setPlainText(text);
        fuzz::check(g_window->ownshipIcaoFromIcaoField() <= 0xFFFFFFu, "a 24-bit address");
        fuzz::check(settings_get_value(&user_config, OWNSHIP_ICAO_INDEX) <= 0xFFFFFFu, "a 24-bit address stored");
    } else if (field == 1) {
        ui->text_registration_num->setPlainText(text);
        fuzz::check(user_config.registration[11] == 0, "the registration ends in the record");
        for (int i = 0; i < 11; ++i)
            fuzz::check(user_config.registration[i] != '\n' && user_config.registration[i] != '\r',
                        "no line break in the registration");
    } else {
        ui->color_picker_sky0->setStyleSheet(text);
        QMetaObject::invokeMethod(g_window, "onSkyColor0Changed", Qt::DirectConnection);
        fuzz::check((user_config.sky_color[0] >> 24) == 0xFF || user_config.sky_color[0] == 0, "opaque colours");
    }
    fuzz::settle_window();
    return 0;
}
