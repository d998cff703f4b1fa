// Waiting for a condition while Qt's event loop runs, for tests whose code under test lives on it.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <functional>

#include "support/Waiting.hpp"

namespace joyrelay::testing {

// Runs Qt's event loop (objects handed to deleteLater included) until `condition` holds or `timeout`
// has passed.
inline bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 5s) {
    QTimer tick;  // wakes the loop now and then to look at the condition
    tick.start(5);
    return waitUntil(condition, timeout, [] {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    });
}

}  // namespace joyrelay::testing
