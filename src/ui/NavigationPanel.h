#pragma once

class QListWidget;
class QStackedWidget;

// The navigation list on the left: one bold row per page with its icon, the selected row showing the
// icon's selected picture, and the page stack following the selection.
class NavigationPanel {
public:
    static void install(QListWidget *list, QStackedWidget *pages);
    NavigationPanel() = delete;
};
