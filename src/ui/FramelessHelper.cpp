#include "FramelessHelper.h"

#include <QEvent>
#include <QWidget>

#include "FramelessHelperState.h"

namespace {

bool isPointerEvent(QEvent::Type type) {
    switch (type) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::MouseMove:
        case QEvent::Leave:
        case QEvent::HoverMove:
            return true;
        default:
            return false;
    }
}

}  // namespace

FramelessHelper::FramelessHelper(QObject *parent)
    : QObject(parent), m_state(std::make_unique<FramelessHelperState>()) {}

FramelessHelper::~FramelessHelper() {
    // Restoring the flags hides and re-creates the window; its events must not come back into a helper half gone.
    for (const auto &entry : m_state->widgets) {
        entry.second->stopWatching(this);
    }
    for (const auto &entry : m_state->widgets) {
        entry.second->restoreWidget();
    }
    m_state->widgets.clear();
}

void FramelessHelper::attach(QWidget *widget) {
    if (widget == nullptr || m_state->widgets.count(widget) != 0) {
        return;
    }
    auto state = std::make_unique<FramelessWidgetState>(m_state.get(), widget);
    widget->setAttribute(Qt::WA_MouseTracking, true);
    widget->setAttribute(Qt::WA_Hover, true);
    state->updateRubberBand();
    m_state->widgets.emplace(widget, std::move(state));
    widget->installEventFilter(this);
    // A widget destroyed before the helper is forgotten, so its address can never be mistaken for a live widget.
    connect(widget, &QObject::destroyed, this, [this, widget] { m_state->widgets.erase(widget); });
}

void FramelessHelper::setTitleBarHeight(int height) {
    FramelessHelperState::titleBarHeight = height;
}

int FramelessHelper::titleBarHeight() {
    return FramelessHelperState::titleBarHeight;
}

void FramelessHelper::setResizeBorder(int width) {
    FramelessHelperState::borderWidth = width;
}

int FramelessHelper::resizeBorder() {
    return FramelessHelperState::borderWidth;
}

void FramelessHelper::setMoveEnabled(bool enabled) {
    m_state->moveEnabled = enabled;
}

bool FramelessHelper::moveEnabled() const {
    return m_state->moveEnabled;
}

void FramelessHelper::setResizeEnabled(bool enabled) {
    m_state->resizeEnabled = enabled;
}

bool FramelessHelper::resizeEnabled() const {
    return m_state->resizeEnabled;
}

void FramelessHelper::setMoveRubberBand(bool enabled) {
    m_state->moveRubberBand = enabled;
    updateRubberBands();
}

bool FramelessHelper::moveRubberBand() const {
    return m_state->moveRubberBand;
}

void FramelessHelper::setResizeRubberBand(bool enabled) {
    m_state->resizeRubberBand = enabled;
    updateRubberBands();
}

bool FramelessHelper::resizeRubberBand() const {
    return m_state->resizeRubberBand;
}

bool FramelessHelper::eventFilter(QObject *watched, QEvent *event) {
    if (!isPointerEvent(event->type())) {
        return QObject::eventFilter(watched, event);
    }
    const auto found = m_state->widgets.find(qobject_cast<QWidget *>(watched));
    if (found == m_state->widgets.end()) {
        return QObject::eventFilter(watched, event);
    }
    found->second->handleEvent(event);
    return true;
}

void FramelessHelper::updateRubberBands() {
    for (const auto &entry : m_state->widgets) {
        entry.second->updateRubberBand();
    }
}
