#include "app/QtMainQueue.hpp"

#include <QMetaObject>

namespace joyrelay {

void QtMainQueue::async(Work work) {
    QMetaObject::invokeMethod(&receiver_, std::move(work), Qt::QueuedConnection);
}

}  // namespace joyrelay
