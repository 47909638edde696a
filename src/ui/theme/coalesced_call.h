#pragma once

// One queued call however often it is asked for before the event loop comes
// round: the views' refresh after a burst of change signals. Owned by the
// widget it calls into; a call still queued when that widget goes is dropped
// with it (the widget is the call's context).

#include <QMetaObject>
#include <QObject>

#include <functional>
#include <utility>

namespace korvane {

class CoalescedCall {
public:
    CoalescedCall(QObject *context, std::function<void()> call) : m_context(context), m_call(std::move(call))
    {
    }

    void schedule()
    {
        if (m_pending)
            return;
        m_pending = true;
        QMetaObject::invokeMethod(
            m_context,
            [this] {
                m_pending = false;
                m_call();
            },
            Qt::QueuedConnection);
    }

private:
    QObject *m_context;
    std::function<void()> m_call;
    bool m_pending = false;
};

} // namespace korvane
