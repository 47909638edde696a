#include "ui/shell/gui_main.h"

#include "app/app_state.h"
#include "app/quit_signals.h"
#include "ui/shell/app_flow_view.h"
#include "ui/shell/main_window.h"
#include "ui/theme/theme.h"
#include "ui/theme/window_prompts.h"

#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

namespace korvane {

bool displayAvailable()
{
    return qEnvironmentVariableIsSet("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

void prepareApplication(QApplication &app)
{
    QApplication::setApplicationName(QStringLiteral("KORVANE"));
    QGuiApplication::setDesktopFileName(QStringLiteral("korvane"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/korvane.svg")));
    QApplication::setQuitOnLastWindowClosed(true);

    // The window is French whatever the system locale: dates, decimal commas
    // and digits in every control, standard buttons and dialogs.
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    auto *translator = new QTranslator(&app);
    if (translator->load(QStringLiteral("qtbase_fr"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(translator);
    Theme::apply(app);
}

void tellAlreadyRunning()
{
    QMessageBox::warning(nullptr, QStringLiteral("KORVANE"), QStringLiteral("KORVANE est déjà lancé"));
}

int runWindow(const MidiBackend &backend, const std::optional<std::filesystem::path> &package)
{
    auto prompts = std::make_shared<DialogPrompts>();
    AppState state(backend.create(), prompts);
    MainWindow window(state, prompts);
    prompts->setParentWidget(&window);
    watchQuitSignals(&window, [&window] { window.quitWithoutAsking(); });

    // A package given on the command line skips the splash: a show restarted
    // after a crash is back at once. One that cannot be read says why over
    // the setup screen, on a new project.
    auto *flow = installFlow(window, state,
                             {.start = package ? AppFlowView::Phase::setup : AppFlowView::Phase::splash});
    window.show();
    window.raise();
    window.activateWindow();
    if (package && state.openProjectAt(*package))
        flow->advance(AppFlowView::Phase::main, false);
    return QApplication::exec();
}

} // namespace korvane
