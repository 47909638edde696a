#pragma once

#include "model/project.h"
#include "ui/theme/coalesced_call.h"

#include <QWidget>

#include <map>
#include <optional>
#include <utility>

class QLabel;
class QPushButton;
class QTimer;
class QToolButton;
class QVBoxLayout;

namespace korvane {

class AppState;
class PatchMatrixModel;
class PatchMatrixView;
class RouteActivity;
class RouteCard;

// The patch matrix above the list of route cards. Follows the project, the
// engine's endpoint lists and the running network sessions while shown;
// every edit is written to the project at once.
class RoutingPage : public QWidget {
    Q_OBJECT
public:
    explicit RoutingPage(AppState &state, QWidget *parent = nullptr);

    PatchMatrixView *matrix() const { return m_matrix; }
    QLabel *matrixEmptyText() const { return m_matrixEmpty; }
    QLabel *routesTitle() const { return m_routesTitle; }
    QToolButton *addRouteButton() const { return m_addRoute; }
    QLabel *routesEmptyText() const { return m_routesEmpty; }
    // "Route « name » supprimée." with its "Annuler" button, after a card's trash button.
    QWidget *undoBar() const { return m_undoBar; }
    QLabel *undoText() const { return m_undoText; }
    QPushButton *undoButton() const { return m_undoButton; }
    // The cards in project order.
    QList<RouteCard *> cards() const;
    RouteCard *card(const Uuid &routeID) const;

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refresh();
    void refreshActivity();
    void fillAddRouteMenu();
    void offerUndo(const Route &route, int index);
    void undoDeletion();

    AppState &m_state;
    RouteActivity *m_activity;
    PatchMatrixModel *m_model;
    PatchMatrixView *m_matrix;
    QLabel *m_matrixEmpty;
    QLabel *m_routesTitle;
    QToolButton *m_addRoute;
    QLabel *m_routesEmpty;
    QWidget *m_undoBar;
    QLabel *m_undoText;
    QPushButton *m_undoButton;
    QTimer *m_undoExpiry;
    std::optional<std::pair<Route, int>> m_undoable;
    QVBoxLayout *m_cardColumn;
    std::map<Uuid, RouteCard *> m_cards;
    CoalescedCall m_refresh{this, [this] {
                                if (isVisible())
                                    refresh();
                            }};
};

} // namespace korvane
