#include "ui/pages/filters_page.h"

#include "app/app_state.h"
#include "model/text.h"
#include "ui/pages/chain_editor.h"
#include "ui/pages/page_scaffold.h"
#include "ui/theme/theme.h"
#include "ui/theme/widgets.h"
#include "ui/theme/window_prompts.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QScrollArea>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace korvane {

namespace {

QToolButton *iconButton(const QString &icon, const QColor &color, const QString &name, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setIcon(Theme::icon(icon, color, 16));
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    button->setAccessibleName(name);
    button->setToolTip(name);
    return button;
}

std::optional<Uuid> idOf(const QListWidgetItem *item)
{
    return item ? Uuid::fromString(toStd(item->data(Qt::UserRole).toString())) : std::nullopt;
}

} // namespace

FiltersPage::FiltersPage(AppState &state, std::shared_ptr<WindowPrompts> prompts, QWidget *parent)
    : QWidget(parent), m_state(state), m_prompts(std::move(prompts))
{
    QVBoxLayout *column =
        PageScaffold(this, PageScaffold::Body::fixed,
                     {QStringLiteral("03"), QStringLiteral("Filtres"),
                      QStringLiteral("Filtres & transformations"),
                      QStringLiteral("Remap canal, transpose, vélocité, plages, types — chaînables.")},
                     16)
            .column();

    auto *listCard = new TOVCard(this);
    listCard->setMinimumWidth(200);
    listCard->setMaximumWidth(280);
    auto *heading = new QHBoxLayout;
    auto *title = new QLabel(QStringLiteral("Chaînes de filtres"), listCard);
    title->setFont(Theme::font(Theme::TextStyle::headline));
    m_add =
        iconButton(QStringLiteral("plus"), Theme::textPrimary(), QStringLiteral("Nouvelle chaîne"), listCard);
    m_delete =
        iconButton(QStringLiteral("trash-2"), Theme::systemRed(), QStringLiteral("Supprimer"), listCard);
    heading->addWidget(title, 1);
    heading->addWidget(m_add);
    heading->addWidget(m_delete);
    listCard->contentLayout()->addLayout(heading);
    m_list = new QListWidget(listCard);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setStyleSheet(
        QStringLiteral("QListWidget { background: transparent; outline: none; }"
                       "QListWidget::item { padding: 5px 6px; border-radius: 6px; color: %1; }"
                       "QListWidget::item:selected { background: %2; color: white; }")
            .arg(Theme::textPrimary().name(), Theme::accent().darker(135).name()));
    m_list->installEventFilter(this);
    listCard->contentLayout()->addWidget(m_list, 1);

    m_placeholder = new QWidget;
    auto *placeholderColumn = new QVBoxLayout(m_placeholder);
    auto *symbol = new QLabel(m_placeholder);
    symbol->setPixmap(Theme::iconPixmap(QStringLiteral("sliders-horizontal"), Theme::tertiaryText(), 40,
                                        devicePixelRatioF()));
    symbol->setAlignment(Qt::AlignCenter);
    m_placeholderText =
        new QLabel(QStringLiteral("Sélectionne ou crée une chaîne de filtres"), m_placeholder);
    m_placeholderText->setAlignment(Qt::AlignCenter);
    QPalette p = m_placeholderText->palette();
    p.setColor(QPalette::WindowText, Theme::secondaryText());
    m_placeholderText->setPalette(p);
    placeholderColumn->addStretch(1);
    placeholderColumn->addWidget(symbol);
    placeholderColumn->addWidget(m_placeholderText);
    placeholderColumn->addStretch(2);

    auto *scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->viewport()->setAutoFillBackground(false);
    m_editorHost = new QWidget;
    m_editorHost->setAutoFillBackground(false);
    auto *hostLayout = new QVBoxLayout(m_editorHost);
    hostLayout->setContentsMargins(0, 0, 8, 0);
    scroll->setWidget(m_editorHost);

    m_detail = new QStackedWidget(this);
    m_detail->addWidget(m_placeholder);
    m_detail->addWidget(scroll);

    auto *split = new QHBoxLayout;
    split->setSpacing(16);
    split->addWidget(listCard);
    split->addWidget(m_detail, 1);
    column->addLayout(split, 1);

    connect(m_add, &QToolButton::clicked, this, [this] { addChain(); });
    connect(m_delete, &QToolButton::clicked, this, [this] { deleteSelectedChains(); });
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] {
        std::optional<Uuid> selected = m_list->currentItem() && m_list->currentItem()->isSelected()
                                           ? idOf(m_list->currentItem())
                                           : std::nullopt;
        if (!selected && !m_list->selectedItems().isEmpty())
            selected = idOf(m_list->selectedItems().constFirst());
        if (selected == m_selected)
            return;
        m_selected = selected;
        showDetail();
    });
    connect(&m_state, &AppState::projectChanged, this, [this] { m_refresh.schedule(); });
    refresh();
}

void FiltersPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

bool FiltersPage::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Delete || key == Qt::Key_Backspace) {
            deleteSelectedChains();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void FiltersPage::addChain()
{
    FilterChain chain;
    chain.name = "Filtre " + std::to_string(m_state.project().filterChains.size() + 1);
    const Uuid id = chain.id;
    m_state.mutateProject([&](TOVProject &p) { p.filterChains.push_back(chain); });
    m_selected = id;
    refresh();
}

void FiltersPage::deleteSelectedChains()
{
    // Ids and texts are copied before any question: a dialog runs its own
    // event loop, in which the project may change.
    std::vector<Uuid> ids;
    for (QListWidgetItem *item : m_list->selectedItems())
        if (auto id = idOf(item))
            ids.push_back(*id);
    std::vector<Uuid> confirmed;
    for (const Uuid &id : ids) {
        const FilterChain *chain = m_state.project().findFilterChain(id);
        if (!chain)
            continue;
        const std::string name = chain->name;
        const auto users = std::count_if(m_state.project().routes.begin(), m_state.project().routes.end(),
                                         [&](const Route &r) { return r.filterChainID == id; });
        if (users > 0) {
            const std::string question = "La chaîne « " + name + " » est utilisée par " +
                                         std::to_string(users) +
                                         " route(s) ; elles passeront sans filtre. Supprimer ?";
            if (!m_prompts || !m_prompts->confirmDeletion(question))
                continue;
        }
        confirmed.push_back(id);
    }
    if (confirmed.empty())
        return;
    // Routes keep the id they hold; they pass unfiltered from now on.
    m_state.mutateProject([&](TOVProject &p) {
        std::erase_if(p.filterChains, [&](const FilterChain &c) {
            return std::find(confirmed.begin(), confirmed.end(), c.id) != confirmed.end();
        });
    });
    refresh();
}

void FiltersPage::refresh()
{
    const auto &chains = m_state.project().filterChains;
    {
        const QSignalBlocker block(m_list);
        bool sameOrder = m_list->count() == static_cast<int>(chains.size());
        for (int i = 0; sameOrder && i < m_list->count(); ++i)
            sameOrder = idOf(m_list->item(i)) == chains[i].id;
        if (!sameOrder) {
            m_list->clear();
            for (const FilterChain &chain : chains) {
                auto *item = new QListWidgetItem(m_list);
                item->setData(Qt::UserRole, toQString(chain.id.toString()));
            }
        }
        for (int i = 0; i < m_list->count(); ++i) {
            const QString name = toQString(chains[i].name);
            if (m_list->item(i)->text() != name)
                m_list->item(i)->setText(name);
        }
        if (m_selected && !m_state.project().findFilterChain(*m_selected))
            m_selected.reset();
        // The list shows the chain the page holds as selected.
        if (!m_selected && !sameOrder)
            m_list->clearSelection();
        for (int i = 0; m_selected && i < m_list->count(); ++i)
            if (idOf(m_list->item(i)) == *m_selected && m_list->currentItem() != m_list->item(i))
                m_list->setCurrentItem(m_list->item(i));
    }
    showDetail();
}

void FiltersPage::showDetail()
{
    if (m_editor && (!m_selected || m_editor->chainID() != *m_selected)) {
        m_editorHost->layout()->removeWidget(m_editor);
        m_editor->hide();
        m_editor->deleteLater();
        m_editor = nullptr;
    }
    if (m_selected && !m_state.project().findFilterChain(*m_selected))
        m_selected.reset();
    if (!m_selected) {
        m_detail->setCurrentWidget(m_placeholder);
        return;
    }
    if (!m_editor) {
        m_editor = new ChainEditor(m_state, *m_selected, m_editorHost);
        m_editorHost->layout()->addWidget(m_editor);
    } else {
        m_editor->refresh();
    }
    m_detail->setCurrentIndex(1);
}

} // namespace korvane
