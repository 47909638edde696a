#include "ui/pages/chain_editor.h"

#include "app/app_state.h"
#include "model/text.h"
#include "ui/pages/binding.h"
#include "ui/pages/step_editor.h"
#include "ui/theme/theme.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

namespace korvane {

ChainEditor::ChainEditor(AppState &state, const Uuid &chainID, QWidget *parent)
    : QWidget(parent), m_state(state), m_id(chainID)
{
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(12);
    m_name = new QLineEdit(this);
    m_name->setPlaceholderText(QStringLiteral("Nom de la chaîne"));
    column->addWidget(m_name);

    m_empty = new QLabel(QStringLiteral("Aucune étape. Ajoute un remap de canal, un transpose, etc."), this);
    m_empty->setWordWrap(true);
    QPalette p = m_empty->palette();
    p.setColor(QPalette::WindowText, Theme::secondaryText());
    m_empty->setPalette(p);
    column->addWidget(m_empty);
    m_stepColumn = new QVBoxLayout;
    m_stepColumn->setSpacing(10);
    column->addLayout(m_stepColumn);

    m_addStep = new QToolButton(this);
    m_addStep->setText(QStringLiteral("Ajouter une étape"));
    m_addStep->setIcon(Theme::icon(QStringLiteral("plus"), Theme::textPrimary(), 16));
    m_addStep->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_addStep->setPopupMode(QToolButton::InstantPopup);
    m_addStep->setCursor(Qt::PointingHandCursor);
    m_addStep->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; width: 0; }"));
    auto *menu = new QMenu(m_addStep);
    for (const FilterStep::Kind kind : kAllFilterStepKinds) {
        const auto text = label(kind);
        QAction *action = menu->addAction(QString::fromUtf8(text.data(), static_cast<int>(text.size())));
        connect(action, &QAction::triggered, this, [this, kind] {
            const Uuid id = m_id;
            m_state.mutateProject([&](TOVProject &p) {
                for (FilterChain &chain : p.filterChains)
                    if (chain.id == id) {
                        chain.steps.push_back(FilterStep(kind));
                        return;
                    }
            });
        });
    }
    m_addStep->setMenu(menu);
    column->addWidget(m_addStep, 0, Qt::AlignLeft);
    column->addStretch(1);

    connect(m_name, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string name = toStd(text);
        const FilterChain *chain = m_state.project().findFilterChain(m_id);
        if (!chain || chain->name == name)
            return;
        const Uuid id = m_id;
        m_state.mutateProject([&](TOVProject &p) {
            for (FilterChain &c : p.filterChains)
                if (c.id == id) {
                    c.name = name;
                    return;
                }
        });
    });
    refresh();
}

QList<StepEditor *> ChainEditor::steps() const
{
    QList<StepEditor *> ordered;
    for (int i = 0; i < m_stepColumn->count(); ++i)
        if (auto *editor = qobject_cast<StepEditor *>(m_stepColumn->itemAt(i)->widget()))
            ordered << editor;
    return ordered;
}

void ChainEditor::refresh()
{
    const FilterChain *chain = m_state.project().findFilterChain(m_id);
    if (!chain)
        return;
    binding::setText(m_name, toQString(chain->name));
    m_empty->setVisible(chain->steps.empty());

    std::map<Uuid, StepEditor *> kept;
    std::vector<StepEditor *> order;
    for (const FilterStep &step : chain->steps) {
        if (kept.count(step.id))
            continue; // a duplicated id edits the first step holding it
        StepEditor *editor = nullptr;
        auto it = m_steps.find(step.id);
        // A step whose kind changed (a whole project replaced) gets a new editor.
        if (it != m_steps.end() && it->second->kind() == step.kind) {
            editor = it->second;
            m_steps.erase(it);
            editor->refresh(step);
        } else {
            editor = new StepEditor(m_state, m_id, step, this);
        }
        kept[step.id] = editor;
        order.push_back(editor);
    }
    for (auto &[id, stale] : m_steps) {
        m_stepColumn->removeWidget(stale);
        stale->hide();
        stale->deleteLater();
    }
    m_steps = std::move(kept);
    for (int i = 0; i < static_cast<int>(order.size()); ++i) {
        if (m_stepColumn->indexOf(order[i]) != i) {
            m_stepColumn->removeWidget(order[i]);
            m_stepColumn->insertWidget(i, order[i]);
        }
    }
}

} // namespace korvane
