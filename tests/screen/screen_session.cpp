#include "screen/screen_session.h"

#include <signal.h>

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdlib>
#include <filesystem>
#include <regex>
#include <thread>

namespace kvx::screen {

using namespace std::chrono_literals;

ScreenSession::ScreenSession(const std::string& screen) {
    server_ = std::make_unique<e2e::Process>(e2e::Process::Options{
        {"/usr/bin/Xvfb", "-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"},
        {},
        "",
        "/dev/null"});
    const auto number = server_->readLine(10s);
    if (!number || number->empty()) return;
    const std::string display = ":" + *number;
    setenv("DISPLAY", display.c_str(), 1);
    windowManager_ = std::make_unique<e2e::Process>(
        e2e::Process::Options{{"/usr/bin/openbox", "--sm-disable"}, {{"DISPLAY", display}}, "", "/dev/null"});
    // The window manager is there once it has announced itself on the root window.
    for (int i = 0; i < 200; ++i) {
        const auto r = e2e::run({"/usr/bin/xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, 5s, {{"DISPLAY", display}});
        if (r.out.find("window id") != std::string::npos) {
            display_ = display;
            return;
        }
        std::this_thread::sleep_for(25ms);
    }
}

ScreenSession::~ScreenSession() {
    if (windowManager_) windowManager_->signal(SIGTERM);
    if (server_) server_->signal(SIGTERM);
}

std::string ScreenSession::xdotool(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"/usr/bin/xdotool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return e2e::run(argv, 20s, {{"DISPLAY", display_}}).out;
}

unsigned long ScreenSession::windowOf(int pid, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string out = xdotool({"search", "--onlyvisible", "--pid", std::to_string(pid)});
        if (!out.empty()) return std::stoul(out.substr(0, out.find('\n')));
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

unsigned long ScreenSession::windowNamed(const std::string& name, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string out = xdotool({"search", "--onlyvisible", "--name", name});
        if (!out.empty()) return std::stoul(out.substr(0, out.find('\n')));
        std::this_thread::sleep_for(100ms);
    }
    return 0;
}

QRect ScreenSession::clientRect(unsigned long window) const {
    const std::string out = e2e::run({"/usr/bin/xwininfo", "-id", std::to_string(window)}, 5s, {{"DISPLAY", display_}}).out;
    auto field = [&out](const char* name) {
        std::smatch m;
        return std::regex_search(out, m, std::regex(std::string(name) + ":\\s+(-?\\d+)")) ? std::stoi(m[1]) : 0;
    };
    return {field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")};
}

std::string ScreenSession::windowName(unsigned long window) const {
    std::string name = xdotool({"getwindowname", std::to_string(window)});
    while (!name.empty() && name.back() == '\n') name.pop_back();
    return name;
}

QImage ScreenSession::grab(const QRect& area) const {
    return QGuiApplication::primaryScreen()
        ->grabWindow(0, area.x(), area.y(), area.width(), area.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

std::string screenshotFolder() {
    const char* dir = std::getenv("KVX_SCREENSHOT_DIR");
    const std::string folder = dir && *dir ? dir : KVX_SCREENSHOT_DEFAULT_DIR;
    std::filesystem::create_directories(folder);
    return folder;
}

void saveShot(const QImage& image, const std::string& name) {
    image.save(QString::fromStdString(screenshotFolder() + "/" + name));
}

}  // namespace kvx::screen
