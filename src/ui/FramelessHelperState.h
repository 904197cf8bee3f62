#pragma once

#include <memory>
#include <unordered_map>

#include <QWidget>

#include "FramelessWidgetState.h"

// The options and attached widgets of one FramelessHelper. The title bar height and border width are shared by
// every helper of the program.
struct FramelessHelperState {
    static inline int titleBarHeight = 30;
    static inline int borderWidth = 5;

    std::unordered_map<QWidget *, std::unique_ptr<FramelessWidgetState>> widgets;
    bool moveEnabled = true;
    bool resizeEnabled = true;
    bool moveRubberBand = false;
    bool resizeRubberBand = false;
};
