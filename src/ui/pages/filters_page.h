#pragma once

#include "model/project.h"
#include "ui/theme/coalesced_call.h"

#include <QWidget>

#include <memory>
#include <optional>

class QLabel;
class QListWidget;
class QStackedWidget;
class QToolButton;

namespace korvane {

class AppState;
class ChainEditor;
class WindowPrompts;

// The project's filter chains: the list on the left, the selected chain's
// editor on the right. Deleting a chain that routes use asks first.
class FiltersPage : public QWidget {
    Q_OBJECT
public:
    FiltersPage(AppState &state, std::shared_ptr<WindowPrompts> prompts, QWidget *parent = nullptr);

    QListWidget *chainList() const { return m_list; }
    QToolButton *addChainButton() const { return m_add; }
    QToolButton *deleteChainButton() const { return m_delete; }
    QLabel *placeholderText() const { return m_placeholderText; }
    // Null while no chain is selected.
    ChainEditor *editor() const { return m_editor; }
    std::optional<Uuid> selectedChain() const { return m_selected; }

    // Removes the selected chains, asking about each one that routes use.
    void deleteSelectedChains();

protected:
    void showEvent(QShowEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void addChain();
    void showDetail();

    AppState &m_state;
    std::shared_ptr<WindowPrompts> m_prompts;
    QListWidget *m_list;
    QToolButton *m_add;
    QToolButton *m_delete;
    QStackedWidget *m_detail;
    QWidget *m_placeholder;
    QLabel *m_placeholderText;
    QWidget *m_editorHost;
    ChainEditor *m_editor = nullptr;
    std::optional<Uuid> m_selected;
    CoalescedCall m_refresh{this, [this] {
                                if (isVisible())
                                    refresh();
                            }};
};

} // namespace korvane
