#include "ui/shell/settings_page.h"

#include "app/app_state.h"
#include "midi/midi_engine.h"
#include "midi/midi_monitor.h"
#include "model/text.h"
#include "ui/pages/page_scaffold.h"
#include "ui/theme/growing_text_edit.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"
#include "ui/theme/widgets.h"

#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

namespace korvane {

namespace {

constexpr int kBufferMin = 100;
constexpr int kBufferMax = 5000;
constexpr int kBufferStep = 100;

QLabel *fieldLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, Theme::textSecondary());
    label->setPalette(p);
    return label;
}

QFormLayout *formIn(TOVGroupBox *box)
{
    auto *form = new QFormLayout;
    form->setHorizontalSpacing(16);
    form->setVerticalSpacing(10);
    form->setLabelAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    box->contentLayout()->addLayout(form);
    return form;
}

QString bufferText(int value)
{
    return QStringLiteral("Taille du buffer moniteur : %1").arg(value);
}

} // namespace

SettingsPage::SettingsPage(AppState &state, QWidget *parent) : QWidget(parent), m_state(state)
{
    const PageScaffold frame(
        this, PageScaffold::Body::scrolled,
        {QStringLiteral("06"), QStringLiteral("Réglages"), QStringLiteral("Réglages du projet")}, 16);
    QWidget *content = frame.content();
    QVBoxLayout *column = frame.column();

    auto *project = new TOVGroupBox(QStringLiteral("Projet"), content);
    auto *projectForm = formIn(project);
    m_name = new QLineEdit(project);
    m_notes = new GrowingTextEdit(2, 5, project);
    m_created = new QLabel(project);
    m_format = new QLabel(project);
    projectForm->addRow(fieldLabel(QStringLiteral("Nom du projet"), project), m_name);
    projectForm->addRow(fieldLabel(QStringLiteral("Notes"), project), m_notes);
    projectForm->addRow(fieldLabel(QStringLiteral("Créé le"), project), m_created);
    projectForm->addRow(fieldLabel(QStringLiteral("Format"), project), m_format);
    column->addWidget(project);

    auto *engine = new TOVGroupBox(QStringLiteral("Moteur"), content);
    m_startOnOpen = new ToggleSwitch(QStringLiteral("Démarrer le moteur à l'ouverture"), engine);
    m_panicOnStop = new ToggleSwitch(QStringLiteral("Envoyer Panic à l'arrêt"), engine);
    m_bufferLabel = new QLabel(engine);
    m_buffer = new QSpinBox(engine);
    m_buffer->setRange(kBufferMin, kBufferMax);
    m_buffer->setSingleStep(kBufferStep);
    m_buffer->setKeyboardTracking(false);
    m_buffer->setGroupSeparatorShown(false);
    m_buffer->setMinimumWidth(96);
    m_buffer->setAccessibleName(QStringLiteral("Taille du buffer moniteur"));
    auto *bufferRow = new QHBoxLayout;
    bufferRow->addWidget(m_bufferLabel, 1);
    bufferRow->addWidget(m_buffer);
    engine->contentLayout()->addWidget(m_startOnOpen);
    engine->contentLayout()->addWidget(m_panicOnStop);
    engine->contentLayout()->addLayout(bufferRow);
    column->addWidget(engine);

    auto *about = new TOVGroupBox(QStringLiteral("À propos"), content);
    auto *aboutForm = formIn(about);
    aboutForm->addRow(fieldLabel(QStringLiteral("Application"), about),
                      new QLabel(QStringLiteral("KORVANE \u2014 TOV RORA Varidiv"), about));
    aboutForm->addRow(fieldLabel(QStringLiteral("Éditeur"), about),
                      new QLabel(QStringLiteral("TOV Ovrane"), about));
    // Names the MIDI service really in use (JACK here).
    m_caption = new QLabel(QStringLiteral("MIDI classique (%1) + RTP-MIDI réseau, routage évènementiel, "
                                          "sessions .tovprjct.")
                               .arg(toQString(m_state.engine().serviceName())),
                           about);
    m_caption->setFont(Theme::font(Theme::TextStyle::caption));
    m_caption->setWordWrap(true);
    QPalette secondary = m_caption->palette();
    secondary.setColor(QPalette::WindowText, Theme::secondaryText());
    m_caption->setPalette(secondary);
    about->contentLayout()->addWidget(m_caption);
    column->addWidget(about);
    column->addStretch(1);

    connect(m_name, &QLineEdit::textEdited, this, [this](const QString &text) {
        const std::string name = toStd(text);
        if (name != m_state.project().name)
            m_state.mutateProject([&](TOVProject &p) { p.name = name; });
    });
    // Return marks the project dirty even when the name did not change.
    connect(m_name, &QLineEdit::returnPressed, this, [this] { m_state.markDirty(); });
    connect(m_notes, &QPlainTextEdit::textChanged, this, [this] {
        const std::string notes = toStd(m_notes->toPlainText());
        if (notes != m_state.project().notes)
            m_state.mutateProject([&](TOVProject &p) { p.notes = notes; });
    });
    connect(m_startOnOpen, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != m_state.project().settings.startEngineOnOpen)
            m_state.mutateProject([on](TOVProject &p) { p.settings.startEngineOnOpen = on; });
    });
    connect(m_panicOnStop, &QAbstractButton::toggled, this, [this](bool on) {
        if (on != m_state.project().settings.panicOnStop)
            m_state.mutateProject([on](TOVProject &p) { p.settings.panicOnStop = on; });
    });
    connect(m_buffer, &QSpinBox::valueChanged, this, [this](int value) { setBufferSize(value); });
    connect(&m_state, &AppState::projectChanged, this, [this] { m_refresh.schedule(); });
    refresh();
}

void SettingsPage::setBufferSize(int value)
{
    // Typed values land on the stepper's grid.
    const int snapped = qBound(kBufferMin, (value + kBufferStep / 2) / kBufferStep * kBufferStep, kBufferMax);
    if (snapped != value) {
        const QSignalBlocker block(m_buffer);
        m_buffer->setValue(snapped);
    }
    m_bufferLabel->setText(bufferText(snapped));
    if (snapped == m_state.project().settings.monitorBufferSize)
        return;
    m_state.mutateProject([snapped](TOVProject &p) { p.settings.monitorBufferSize = snapped; });
    m_state.monitor().setCapacity(snapped);
}

void SettingsPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    refresh();
}

void SettingsPage::refresh()
{
    const TOVProject &project = m_state.project();
    const QString name = toQString(project.name);
    if (m_name->text() != name) {
        const QSignalBlocker block(m_name);
        m_name->setText(name);
    }
    const QString notes = toQString(project.notes);
    if (m_notes->toPlainText() != notes) {
        const QSignalBlocker block(m_notes);
        m_notes->setPlainText(notes);
    }
    const auto created = QDateTime::fromSecsSinceEpoch(project.createdAt.time_since_epoch().count(), Qt::UTC);
    m_created->setText(QLocale(QLocale::French).toString(created.toLocalTime(), QLocale::ShortFormat));
    m_format->setText(QStringLiteral("v%1").arg(project.formatVersion));
    for (auto [toggle, value] : {std::pair{m_startOnOpen, project.settings.startEngineOnOpen},
                                 std::pair{m_panicOnStop, project.settings.panicOnStop}}) {
        if (toggle->isChecked() != value) {
            const QSignalBlocker block(toggle);
            toggle->setChecked(value);
            toggle->update();
        }
    }
    const int buffer = project.settings.monitorBufferSize;
    if (m_buffer->value() != buffer) {
        const QSignalBlocker block(m_buffer);
        m_buffer->setValue(buffer);
    }
    m_bufferLabel->setText(bufferText(buffer));
}

} // namespace korvane
