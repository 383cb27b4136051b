// The window's manual page against the window itself, and the About box.

#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QRegularExpression>

#include <map>

#include "app/about.h"
#include "app_util.h"

namespace {

using Menus = std::map<QString, QStringList>;

// A menu text as the page writes it: no mnemonic, no "...", and no
// parenthesis at the end (the CAN interface entry shows the one in use).
QString plain(QString text)
{
    text.remove('&').remove(QRegularExpression("(\\.\\.\\.|…)$"));
    return text.remove(QRegularExpression(" \\([^)]*\\)$")).trimmed();
}

Menus windowMenus(MainWindow& w)
{
    Menus menus;
    for (QAction* bar : w.menuBar()->actions()) {
        if (!bar->menu())
            continue;
        QStringList& items = menus[plain(bar->text())];
        for (QAction* a : bar->menu()->actions()) {
            if (!a->isSeparator())
                items << plain(a->text());
        }
        items.sort();
    }
    return menus;
}

// The page's MENUS section: each menu is a .SS, each entry the .B line
// after a .TP.
Menus pageMenus(const QString& page)
{
    Menus menus;
    QStringList* items = nullptr;
    bool inMenus = false;
    QString previous;
    for (QString line : page.split('\n')) {
        line.replace("\\-", "-").remove('"');
        if (line.startsWith(".SH"))
            inMenus = line == ".SH MENUS";
        else if (inMenus && line.startsWith(".SS "))
            items = &menus[plain(line.mid(4))];
        else if (inMenus && items && previous == ".TP" && line.startsWith(".B "))
            items->append(plain(line.mid(3)));
        previous = line;
    }
    for (auto& menu : menus)
        menu.second.sort();
    return menus;
}

QString readPage()
{
    QFile file(EFIS_SOURCE_DIR "/packaging/skarvel-efis-config.1");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

}  // namespace

TEST(ManPage, NamesEveryMenuAndEntryOfTheWindow)
{
    apptest::world_without_unit();
    MainWindow w;
    const Menus window = windowMenus(w);
    const Menus page = pageMenus(readPage());
    ASSERT_FALSE(window.empty());
    for (const auto& menu : window) {
        ASSERT_TRUE(page.count(menu.first)) << "menu not in the page: " << menu.first.toStdString();
        EXPECT_EQ(page.at(menu.first).join(", ").toStdString(), menu.second.join(", ").toStdString())
            << "entries of " << menu.first.toStdString();
    }
    for (const auto& menu : page) {
        EXPECT_TRUE(window.count(menu.first)) << "menu the window lacks: " << menu.first.toStdString();
    }
}

TEST(ManPage, DocumentsTheOptionsAndTheVersion)
{
    const QString page = readPage();
    EXPECT_TRUE(page.startsWith(".TH SKARVEL-EFIS-CONFIG 1 \"\" \"skarvel-efis-config " + programVersion() + "\""));
    for (const char* told : {"\\-\\-help", "\\-\\-version", "marked pink", "during an upload asks first"})
        EXPECT_TRUE(page.contains(told)) << told;
}

TEST(About, NamesTheVersionsAndTheConnectedUnit)
{
    EXPECT_TRUE(versionText().startsWith("skarvel-efis-config " + programVersion() + "\nbuilt with Qt "));
    EXPECT_TRUE(aboutText(std::nullopt).endsWith("No unit connected."));
    const QString text = aboutText(AboutUnit{0xC0FFEEu, "CAN FD", 3});
    EXPECT_TRUE(text.contains("serial 0x00C0FFEE over CAN FD, settings layout version 3.")) << text.toStdString();
    EXPECT_TRUE(text.contains(QString("Qt ") + QT_VERSION_STR + " and hidapi ")) << text.toStdString();

    QWidget parent;
    QString shown;
    EXPECT_TRUE(apptest::answer_dialog<QMessageBox>([&] { showAbout(&parent, std::nullopt); },
                                                    [&](QMessageBox* box) {
                                                        shown = box->text();
                                                        box->accept();
                                                    }));
    EXPECT_EQ(shown, aboutText(std::nullopt));
}
