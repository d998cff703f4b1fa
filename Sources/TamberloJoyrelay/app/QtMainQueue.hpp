// The main queue on Qt's event loop: each work item becomes a queued invocation on an object that
// lives in the main thread, so items run there, one at a time, in the order they were posted.
#pragma once

#include <QObject>

#include "contracts/Queue.hpp"

namespace joyrelay {

class QtMainQueue final : public MainQueue {
public:
    // Construct on the main thread, once the application object exists. Work still queued when the
    // queue is destroyed is dropped.
    QtMainQueue() = default;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    // Callable from any thread, including the main thread (then the work runs on a later turn of the
    // event loop, never inline).
    void async(Work work) override;

private:
    QObject receiver_;
};

}  // namespace joyrelay
