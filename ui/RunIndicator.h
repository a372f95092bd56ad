#pragma once

class QMainWindow;
class QProgressBar;
class QStatusBar;

namespace sarnovelle {

// The sign that a preparation run is working: a busy cursor over the
// application and an indeterminate progress bar in the window's status
// bar. The status bar is shown only while a run goes, and the window grows
// by its height, so the content keeps its size and arrangement.
class RunIndicator {
public:
    // Adds the hidden status bar and its progress bar to `window`, which
    // owns them and outlives this object.
    explicit RunIndicator(QMainWindow& window);
    // Takes the signs away if a run is still shown.
    ~RunIndicator();

    RunIndicator(const RunIndicator&) = delete;
    RunIndicator& operator=(const RunIndicator&) = delete;

    void start();
    void stop();
    bool running() const { return running_; }
    QProgressBar* progressBar() const { return bar_; }

private:
    QMainWindow& window_;
    QStatusBar* status_;
    QProgressBar* bar_;
    bool running_ = false;
    // What start added to the window's height, taken off again by stop.
    int addedHeight_ = 0;
};

} // namespace sarnovelle
