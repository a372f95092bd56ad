#include "AppDelegate.h"

#include "AboutDialog.h"
#include "ui/MakerController.h"

#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QStyle>

namespace sarnovelle {

namespace {

// Menu items without a target of their own act on the widget that has the
// keyboard focus, as far as it has the matching slot ("copy",
// "selectAll"): the log, when it has the focus.
void sendToFocusWidget(const char* slot)
{
    if (QWidget* focus = QApplication::focusWidget()) {
        QMetaObject::invokeMethod(focus, slot);
    }
}

} // namespace

AppDelegate::AppDelegate() : AppDelegate(std::nullopt, DiskEnv{}, true)
{
}

AppDelegate::AppDelegate(Bundle bundle, DiskEnv env)
    : AppDelegate(std::optional<Bundle>(std::move(bundle)), std::move(env), false)
{
}

AppDelegate::AppDelegate(std::optional<Bundle> bundle, DiskEnv env, bool watchDisks)
    : bundle_(std::move(bundle)), env_(std::move(env)), watchDisks_(watchDisks)
{
    QApplication::setQuitOnLastWindowClosed(applicationShouldTerminateAfterLastWindowClosed());
}

AppDelegate::~AppDelegate()
{
    delete aboutDialog_.data();
    controller_.reset();
    // Never attached to a window (macOS, or launching never finished).
    delete menuBar_.data();
}

bool AppDelegate::runInProgress() const
{
    return controller_ != nullptr && controller_->busy();
}

void AppDelegate::applicationDidFinishLaunching()
{
    buildMenu();
    controller_ = std::make_unique<MakerController>(bundle_ ? *bundle_ : Bundle::main(), env_,
                                                    watchDisks_ ? makeDiskWatcher() : nullptr);
    menuBar_->addMenu(QStringLiteral("USB"))->addAction(controller_->checkAction());
    installMenuBar();
    QMainWindow* window = controller_->window();
    window->raise();
    window->activateWindow();
}

void AppDelegate::buildMenu()
{
    menuBar_ = new QMenuBar;

    // The application menu. macOS moves its items into the menu named after
    // the application; elsewhere it needs a visible title of its own.
    QMenu* appMenu = menuBar_->addMenu(QStringLiteral("Sarnovelle USB Maker"));
    about_ = appMenu->addAction(QStringLiteral("About Sarnovelle USB Maker"));
    about_->setMenuRole(QAction::AboutRole);
    connect(about_, &QAction::triggered, this, &AppDelegate::showAbout);
    appMenu->addSeparator();
    quit_ = appMenu->addAction(QStringLiteral("Quit Sarnovelle USB Maker"));
    quit_->setMenuRole(QAction::QuitRole);
    quit_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    connect(quit_, &QAction::triggered, this, &AppDelegate::terminate, Qt::QueuedConnection);

    QMenu* editMenu = menuBar_->addMenu(QStringLiteral("Edit"));
    copy_ = editMenu->addAction(QStringLiteral("Copy"));
    copy_->setMenuRole(QAction::NoRole);
    copy_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    connect(copy_, &QAction::triggered, this, [] { sendToFocusWidget("copy"); });
    selectAll_ = editMenu->addAction(QStringLiteral("Select All"));
    selectAll_->setMenuRole(QAction::NoRole);
    selectAll_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_A));
    connect(selectAll_, &QAction::triggered, this, [] { sendToFocusWidget("selectAll"); });
}

void AppDelegate::installMenuBar()
{
#ifdef __APPLE__
    // A menu bar without a parent is the application's global menu bar.
#else
    // Here the menu bar sits in the window, above the content, which keeps
    // its own size: the window grows by the bar's height.
    QMainWindow* window = controller_->window();
    const int barHeight = menuBar_->sizeHint().height();
    window->setMenuBar(menuBar_);
    window->resize(window->width(), window->height() + barHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        window->setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, window->size(),
                                                screen->availableGeometry()));
    }
#endif
}

void AppDelegate::terminate()
{
    // During a run the controller asks first; "Keep Working" ends here.
    if (controller_ != nullptr && !controller_->mayQuit()) {
        return;
    }
    QCoreApplication::quit();
}

void AppDelegate::showAbout()
{
    if (aboutDialog_ == nullptr) {
        aboutDialog_ = new AboutDialog(controller_ ? controller_->window() : nullptr);
    }
    aboutDialog_->show();
    aboutDialog_->raise();
    aboutDialog_->activateWindow();
}

} // namespace sarnovelle
