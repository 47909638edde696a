#include "ui/shell/project_setup_view.h"

#include "app/app_state.h"
#include "app/recent_projects.h"
#include "model/text.h"
#include "ui/shell/logo_view.h"
#include "ui/shell/recent_menu.h"
#include "ui/shell/start_card.h"
#include "ui/theme/growing_text_edit.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"
#include "ui/theme/widgets.h"

#include <QApplication>
#include <QButtonGroup>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace korvane {

namespace {

QFont fieldLabelFont()
{
    QFont font = Theme::monoFont(Theme::TextStyle::caption2);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    return font;
}

// A caption in capitals above its control.
QWidget *field(const QString &label, QWidget *control, QWidget *parent)
{
    auto *box = new QWidget(parent);
    auto *column = new QVBoxLayout(box);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(5);
    column->addWidget(makeLabel(label.toUpper(), fieldLabelFont(), Theme::textSecondary(), box));
    column->addWidget(control);
    return box;
}

QFrame *hairline(Qt::Orientation orientation, QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setObjectName(QStringLiteral("hairline"));
    line->setAttribute(Qt::WA_StyledBackground);
    line->setStyleSheet(QStringLiteral("#hairline { background: rgba(255, 255, 255, 20); border: none; }"));
    if (orientation == Qt::Horizontal)
        line->setFixedHeight(1);
    else
        line->setFixedWidth(1);
    return line;
}

} // namespace

ProjectSetupView::ProjectSetupView(AppState &state, LogoLoader &loader, QString recentFile, QWidget *parent)
    : QWidget(parent), m_state(state), m_recentFile(std::move(recentFile))
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(buildBrandPanel(loader));
    row->addWidget(hairline(Qt::Vertical, this));

    auto *scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"));
    auto *form = buildForm();
    scroll->setWidget(form);
    scroll->viewport()->setAutoFillBackground(false);
    form->setAutoFillBackground(false);
    row->addWidget(scroll, 1);
}

QWidget *ProjectSetupView::buildBrandPanel(LogoLoader &loader)
{
    auto *panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("brandPanel"));
    panel->setAttribute(Qt::WA_StyledBackground);
    panel->setStyleSheet(QStringLiteral("#brandPanel { background: rgba(0, 0, 0, 89); }"));
    panel->setFixedWidth(340);
    auto *column = new QVBoxLayout(panel);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(16);
    column->addStretch(1);
    column->addWidget(new LogoView(120, loader, panel), 0, Qt::AlignLeft);
    QFont heavy = QApplication::font();
    heavy.setPixelSize(34);
    heavy.setWeight(QFont::Black);
    column->addWidget(makeLabel(QStringLiteral("RORA Varidiv"), heavy, Theme::textPrimary(), panel));
    auto *tagline = makeLabel(QStringLiteral("Routage MIDI pro\npour l'événementiel & l'IT"),
                              Theme::font(Theme::TextStyle::callout), Theme::textSecondary(), panel);
    column->addWidget(tagline);
    column->addStretch(1);

    auto *signature = new QHBoxLayout;
    signature->setSpacing(8);
    auto *bar = new QFrame(panel);
    bar->setFixedSize(22, 2);
    bar->setObjectName(QStringLiteral("accentBar"));
    bar->setAttribute(Qt::WA_StyledBackground);
    bar->setStyleSheet(
        QStringLiteral("#accentBar { background: %1; border: none; }").arg(Theme::accent().name()));
    signature->addWidget(bar, 0, Qt::AlignVCenter);
    signature->addWidget(makeLabel(QStringLiteral("v1.0.0 · TOV Ovrane"),
                                   Theme::monoFont(Theme::TextStyle::caption2), Theme::textSecondary(),
                                   panel));
    signature->addStretch(1);
    column->addLayout(signature);
    return panel;
}

QWidget *ProjectSetupView::buildForm()
{
    auto *form = new QWidget;
    auto *column = new QVBoxLayout(form);
    column->setContentsMargins(36, 36, 36, 36);
    column->setSpacing(26);

    column->addWidget(new SectionLabel(QStringLiteral("01"), QStringLiteral("Démarrer"), form));
    auto *cards = new QHBoxLayout;
    cards->setSpacing(16);
    m_newCard = new StartCard(QStringLiteral("copy-plus"), QStringLiteral("Nouveau projet"),
                              QStringLiteral("Configurer un show"), form);
    m_openCard = new StartCard(QStringLiteral("folder-open"), QStringLiteral("Ouvrir…"),
                               QStringLiteral("Fichier .tovprjct"), form);
    cards->addWidget(m_newCard);
    cards->addWidget(m_openCard);
    column->addLayout(cards);
    connect(m_newCard, &StartCard::clicked, this, [this] { m_name->setFocus(Qt::OtherFocusReason); });
    connect(m_openCard, &StartCard::clicked, this, [this] { open(); });

    m_recentBlock = new QWidget(form);
    auto *recentColumn = new QVBoxLayout(m_recentBlock);
    recentColumn->setContentsMargins(0, 0, 0, 0);
    recentColumn->setSpacing(5);
    recentColumn->addWidget(makeLabel(QStringLiteral("PROJETS RÉCENTS"), fieldLabelFont(),
                                      Theme::textSecondary(), m_recentBlock));
    m_recent = new QListWidget(m_recentBlock);
    m_recent->setFrameShape(QFrame::NoFrame);
    m_recent->setTextElideMode(Qt::ElideMiddle);
    m_recent->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_recent->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_recent->setStyleSheet(
        QStringLiteral("QListWidget { background: %1; border: 1px solid rgba(255, 255, 255, 20); "
                       "border-radius: 8px; padding: 4px; }"
                       "QListWidget::item { padding: 4px 6px; border-radius: 5px; }"
                       "QListWidget::item:hover { background: rgba(255, 255, 255, 16); }")
            .arg(Theme::surface().name()));
    recentColumn->addWidget(m_recent);
    column->addWidget(m_recentBlock);
    // A click, or Enter from the keyboard; once the screen is left, nothing more.
    const auto openItem = [this](QListWidgetItem *item) {
        if (isVisible())
            openRecent(item->data(Qt::UserRole).toString());
    };
    connect(m_recent, &QListWidget::itemClicked, this, openItem);
    connect(m_recent, &QListWidget::itemActivated, this, openItem);

    column->addWidget(new SectionLabel(QStringLiteral("02"), QStringLiteral("Configuration"), form));
    auto *card = new TOVCard(form);
    card->contentLayout()->setSpacing(14);
    m_name = new QLineEdit(QStringLiteral("Nouveau show"), card);
    m_name->setPlaceholderText(QStringLiteral("Nom"));
    card->contentLayout()->addWidget(field(QStringLiteral("Nom du show"), m_name, card));
    m_notes = new GrowingTextEdit(2, 5, card);
    m_notes->setPlaceholderText(QStringLiteral("Lieu, date, contraintes…"));
    card->contentLayout()->addWidget(field(QStringLiteral("Notes"), m_notes, card));
    card->contentLayout()->addWidget(hairline(Qt::Horizontal, card));
    m_addVirtualBus = new ToggleSwitch(QStringLiteral("Créer un bus MIDI virtuel (In/Out)"), card);
    m_addVirtualBus->setChecked(true);
    card->contentLayout()->addWidget(m_addVirtualBus);
    m_addRTP = new ToggleSwitch(QStringLiteral("Ajouter une session réseau RTP-MIDI"), card);
    card->contentLayout()->addWidget(m_addRTP);

    m_rolePicker = new QWidget(card);
    auto *picker = new QHBoxLayout(m_rolePicker);
    picker->setContentsMargins(0, 0, 0, 0);
    picker->setSpacing(12);
    picker->addWidget(makeLabel(QStringLiteral("Rôle réseau"), Theme::font(Theme::TextStyle::body),
                                Theme::textPrimary(), m_rolePicker));
    auto *segments = new QHBoxLayout;
    segments->setSpacing(0);
    auto *group = new QButtonGroup(m_rolePicker);
    const auto segment = [&](const QString &text, RTPRole role, const QString &side) {
        auto *button = new QPushButton(text, m_rolePicker);
        button->setCheckable(true);
        button->setChecked(role == m_rtpRole);
        button->setStyleSheet(
            QStringLiteral(
                "QPushButton { background: rgba(255, 255, 255, 20); border: 1px solid rgba(255, 255, 255, "
                "30); "
                "padding: 4px 14px; color: %1; border-top-%3-radius: 6px; border-bottom-%3-radius: 6px; }"
                "QPushButton:checked { background: %2; color: white; }")
                .arg(Theme::textPrimary().name(), Theme::accent().name(), side));
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group->addButton(button);
        segments->addWidget(button);
        connect(button, &QPushButton::clicked, this, [this, role] { m_rtpRole = role; });
        return button;
    };
    m_listener = segment(QStringLiteral("Écoute"), RTPRole::listener, QStringLiteral("left"));
    m_initiator = segment(QStringLiteral("Initiateur"), RTPRole::initiator, QStringLiteral("right"));
    auto *segmentBox = new QWidget(m_rolePicker);
    segmentBox->setLayout(segments);
    segments->setContentsMargins(0, 0, 0, 0);
    segmentBox->setMaximumWidth(280);
    picker->addWidget(segmentBox, 1);
    picker->addStretch(0);
    m_rolePicker->setMaximumWidth(280 + 12 + 120);
    m_rolePicker->setVisible(false);
    card->contentLayout()->addWidget(m_rolePicker);
    connect(m_addRTP, &ToggleSwitch::toggled, m_rolePicker, &QWidget::setVisible);
    column->addWidget(card);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    m_create = new QPushButton(Theme::icon(QStringLiteral("zap"), Qt::white, 16),
                               QStringLiteral("Créer le projet"), form);
    m_create->setObjectName(QStringLiteral("createButton"));
    m_create->setStyleSheet(QStringLiteral("#createButton { background: %1; color: white; border: none; "
                                           "border-radius: 8px; padding: 9px 16px; font-weight: 600; }"
                                           "#createButton:hover { background: %2; }"
                                           "#createButton:pressed { background: %3; }")
                                .arg(Theme::accent().name(), Theme::accent().lighter(112).name(),
                                     Theme::accent().darker(115).name()));
    m_createAndSave = new QPushButton(Theme::icon(QStringLiteral("save"), Theme::textPrimary(), 16),
                                      QStringLiteral("Créer et enregistrer…"), form);
    m_createAndSave->setObjectName(QStringLiteral("createAndSaveButton"));
    m_createAndSave->setStyleSheet(
        QStringLiteral("#createAndSaveButton { background: rgba(255, 255, 255, 26); "
                       "border: 1px solid rgba(255, 255, 255, 30); border-radius: 8px; "
                       "padding: 9px 16px; }"
                       "#createAndSaveButton:hover { background: rgba(255, 255, 255, 40); }"));
    for (auto *button : {m_create, m_createAndSave}) {
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        button->setMinimumHeight(38);
        button->setCursor(Qt::PointingHandCursor);
        buttons->addWidget(button);
    }
    connect(m_create, &QPushButton::clicked, this, [this] { create(false); });
    connect(m_createAndSave, &QPushButton::clicked, this, [this] { create(true); });
    column->addLayout(buttons);
    column->addStretch(1);

    setTabOrder(m_name, m_notes);
    setTabOrder(m_notes, m_addVirtualBus);
    setTabOrder(m_addVirtualBus, m_addRTP);
    setTabOrder(m_addRTP, m_listener);
    setTabOrder(m_listener, m_initiator);
    setTabOrder(m_initiator, m_create);
    setTabOrder(m_create, m_createAndSave);
    refreshRecent();
    return form;
}

QPushButton *ProjectSetupView::roleButton(RTPRole role) const
{
    return role == RTPRole::listener ? m_listener : m_initiator;
}

void ProjectSetupView::refreshRecent()
{
    const auto packages = RecentProjects(m_recentFile).list();
    m_recent->clear();
    for (const auto &package : packages) {
        auto *item = new QListWidgetItem(recentProjectText(package), m_recent);
        item->setData(Qt::UserRole, toQString(package.string()));
        item->setToolTip(toQString(package.string()));
    }
    m_recentBlock->setVisible(!packages.empty());
    if (!packages.empty()) {
        const int rows = static_cast<int>(packages.size());
        m_recent->setFixedHeight(rows * m_recent->sizeHintForRow(0) + 2 * (rows + 1) + 10);
    }
}

void ProjectSetupView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refreshRecent();
}

void ProjectSetupView::open()
{
    m_state.openProject();
    // A cancelled panel keeps this screen; a failed load keeps an earlier address.
    if (m_state.projectURL())
        emit entered();
}

void ProjectSetupView::openRecent(const QString &path)
{
    // A package that went away is reported by the controller; this screen stays.
    if (m_state.openProjectAt(toStd(path)))
        emit entered();
}

void ProjectSetupView::create(bool save)
{
    const std::string name = toStd(m_name->text());
    const std::string notes = toStd(m_notes->toPlainText());
    const bool addBus = m_addVirtualBus->isChecked();
    const bool addRTP = m_addRTP->isChecked();
    const RTPRole role = m_rtpRole;

    m_state.newProject();
    m_state.mutateProject([&](TOVProject &project) {
        project.name = name.empty() ? "Nouveau show" : name;
        project.notes = notes;
        if (addBus)
            project.virtualPorts = {VirtualPortConfig{}};
        if (addRTP) {
            RTPSessionConfig session;
            session.role = role;
            project.rtpSessions = {session};
        }
    });
    m_state.applyAll();
    // A cancelled or failed save still creates the show and moves on, unsaved.
    if (save)
        m_state.saveAs();
    emit entered();
}

void ProjectSetupView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    QLinearGradient wash(QPointF(0, 0), QPointF(width(), height()));
    wash.setColorAt(0, Theme::background());
    wash.setColorAt(0.5, Theme::surface());
    wash.setColorAt(1, Theme::background());
    painter.fillRect(rect(), wash);
}

} // namespace korvane
