#pragma once
// Delivers process signals on the event loop. The handler itself only writes
// the signal's number to a socket pair; a QSocketNotifier on the other end
// calls OnSignal on the thread that created the watch, where it may do
// anything. One watch per process: the handler and its socket pair are global.

#include <QObject>
#include <QSocketNotifier>
#include <functional>
#include <initializer_list>
#include <memory>

class TSignalWatch : public QObject {
public:
    // Installs the handler for every signal given.
    TSignalWatch(std::initializer_list<int> which, std::function<void(int)> onSignal,
                 QObject *parent = nullptr);
    ~TSignalWatch() override;

    // No more calls after this (a stop in progress).
    void Disable();

private:
    std::function<void(int)> FOnSignal;
    std::unique_ptr<QSocketNotifier> FNotifier;
};
