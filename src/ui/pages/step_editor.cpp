#include "ui/pages/step_editor.h"

#include "app/app_state.h"
#include "ui/pages/binding.h"
#include "ui/pages/page_controls.h"
#include "ui/theme/theme.h"
#include "ui/theme/toggle_switch.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QSlider>
#include <QSpinBox>
#include <QToolButton>

#include <cmath>
#include <set>

namespace korvane {

namespace {

std::vector<int> identityMap()
{
    std::vector<int> map(16);
    for (int i = 0; i < 16; ++i)
        map[i] = i + 1;
    return map;
}

double shownScale(const FilterStep &step)
{
    const double scale = step.velocityScale.value_or(1.0);
    return std::isfinite(scale) ? scale : 1.0;
}

QString transposeText(long long value)
{
    return QStringLiteral("Transpose : %1 demi-tons").arg(value);
}

QString scaleText(double scale)
{
    return QStringLiteral("\u00D7") + QLocale().toString(scale, 'f', 2);
}

} // namespace

StepEditor::StepEditor(AppState &state, const Uuid &chainID, const FilterStep &step, QWidget *parent)
    : TOVCard(parent), m_state(state), m_chainID(chainID), m_stepID(step.id), m_kind(step.kind)
{
    m_enabled = new ToggleSwitch(QString(), this);
    m_enabled->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_enabled->setAccessibleName(QStringLiteral("Étape active"));
    m_kindLabel =
        new QLabel(QString::fromUtf8(label(m_kind).data(), static_cast<int>(label(m_kind).size())), this);
    m_kindLabel->setFont(Theme::font(Theme::TextStyle::headline));
    m_delete = new QToolButton(this);
    m_delete->setIcon(Theme::icon(QStringLiteral("trash-2"), Theme::systemRed(), 16));
    m_delete->setAutoRaise(true);
    m_delete->setCursor(Qt::PointingHandCursor);
    m_delete->setAccessibleName(QStringLiteral("Supprimer l'étape"));
    auto *header = new QHBoxLayout;
    header->addWidget(m_enabled);
    header->addWidget(m_kindLabel, 1);
    header->addWidget(m_delete);
    contentLayout()->addLayout(header);

    connect(m_enabled, &QAbstractButton::toggled, this,
            [this](bool on) { edit([on](FilterStep &s) { s.enabled = on; }); });
    connect(m_delete, &QToolButton::clicked, this, [this] {
        const Uuid chainID = m_chainID, stepID = m_stepID;
        m_state.mutateProject([&](TOVProject &p) {
            for (FilterChain &chain : p.filterChains)
                if (chain.id == chainID)
                    std::erase_if(chain.steps, [&](const FilterStep &s) { return s.id == stepID; });
        });
    });

    switch (m_kind) {
    case FilterStep::Kind::channelRemap:
        buildRemap();
        break;
    case FilterStep::Kind::transpose:
        buildTranspose();
        break;
    case FilterStep::Kind::velocity:
        buildVelocity();
        break;
    case FilterStep::Kind::noteRange:
        buildRange(QStringLiteral("Note min"), QStringLiteral("Note max"));
        break;
    case FilterStep::Kind::ccRange:
        buildRange(QStringLiteral("CC min"), QStringLiteral("CC max"));
        break;
    case FilterStep::Kind::messageTypeFilter:
        buildTypes();
        break;
    }
    refresh(step);
}

QSpinBox *StepEditor::addStepper(int minimum, int maximum, QWidget *parent)
{
    auto *box = new QSpinBox(parent);
    box->setRange(minimum, maximum);
    box->setSingleStep(1);
    box->setKeyboardTracking(false);
    box->setGroupSeparatorShown(false);
    box->setMinimumWidth(72);
    m_steppers.push_back(box);
    return box;
}

void StepEditor::buildTranspose()
{
    m_valueLabel = new QLabel(this);
    QSpinBox *box = addStepper(-48, 48, this);
    box->setAccessibleName(QStringLiteral("Transpose"));
    auto *row = new QHBoxLayout;
    row->addWidget(m_valueLabel, 1);
    row->addWidget(box);
    contentLayout()->addLayout(row);
    connect(box, &QSpinBox::valueChanged, this,
            [this](int v) { edit([v](FilterStep &s) { s.transpose = v; }); });
}

void StepEditor::buildVelocity()
{
    m_scale = new QSlider(Qt::Horizontal, this);
    m_scale->setRange(0, 200); // hundredths of 0.0 ... 2.0
    m_scale->setAccessibleName(QStringLiteral("Échelle"));
    m_valueLabel = new QLabel(this);
    m_valueLabel->setFont(Theme::monoFont(Theme::TextStyle::body));
    m_valueLabel->setMinimumWidth(m_valueLabel->fontMetrics().horizontalAdvance(scaleText(2.0)) + 4);
    auto *scaleRow = new QHBoxLayout;
    scaleRow->addWidget(new QLabel(QStringLiteral("Échelle"), this));
    scaleRow->addWidget(m_scale, 1);
    scaleRow->addWidget(m_valueLabel);
    contentLayout()->addLayout(scaleRow);

    m_offsetLabel = new QLabel(this);
    QSpinBox *offset = addStepper(-64, 64, this);
    offset->setAccessibleName(QStringLiteral("Offset"));
    auto *offsetRow = new QHBoxLayout;
    offsetRow->addWidget(m_offsetLabel, 1);
    offsetRow->addWidget(offset);
    contentLayout()->addLayout(offsetRow);

    connect(m_scale, &QSlider::valueChanged, this,
            [this](int v) { edit([v](FilterStep &s) { s.velocityScale = v / 100.0; }); });
    connect(offset, &QSpinBox::valueChanged, this,
            [this](int v) { edit([v](FilterStep &s) { s.velocityOffset = v; }); });
}

void StepEditor::buildRange(const QString &low, const QString &high)
{
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    for (int i = 0; i < 2; ++i) {
        QSpinBox *box = addStepper(0, 127, this);
        box->setAccessibleName(i == 0 ? low : high);
        grid->addWidget(new QLabel(i == 0 ? low : high, this), 0, 2 * i);
        grid->addWidget(box, 0, 2 * i + 1);
        const bool isLow = i == 0;
        const bool notes = m_kind == FilterStep::Kind::noteRange;
        connect(box, &QSpinBox::valueChanged, this, [this, isLow, notes](int v) {
            edit([&](FilterStep &s) {
                (notes ? (isLow ? s.noteLow : s.noteHigh) : (isLow ? s.ccLow : s.ccHigh)) = v;
            });
        });
    }
    grid->setColumnStretch(4, 1);
    contentLayout()->addLayout(grid);
}

void StepEditor::buildRemap()
{
    contentLayout()->addWidget(
        makeCaption(QStringLiteral("Canal source \u2192 cible (0 = ignorer)"), this, false));
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(10);
    grid->setVerticalSpacing(6);
    for (int channel = 1; channel <= 16; ++channel) {
        const int row = (channel - 1) / 4, column = (channel - 1) % 4;
        auto *number = new QLabel(QString::number(channel), this);
        number->setFont(Theme::monoFont(Theme::TextStyle::caption));
        number->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QSpinBox *box = addStepper(0, 16, this);
        box->setMinimumWidth(60);
        box->setAccessibleName(QStringLiteral("Canal %1").arg(channel));
        grid->addWidget(number, row, 2 * column);
        grid->addWidget(box, row, 2 * column + 1);
        connect(box, &QSpinBox::valueChanged, this, [this, channel](int v) {
            edit([&](FilterStep &s) {
                // The whole map is stored; entries a file left out read as the identity.
                std::vector<int> map = s.channelMap.value_or(identityMap());
                for (int i = static_cast<int>(map.size()); i < 16; ++i)
                    map.push_back(i + 1);
                map[channel - 1] = qBound(0, v, 16);
                s.channelMap = std::move(map);
            });
        });
    }
    grid->setColumnStretch(8, 1);
    contentLayout()->addLayout(grid);
}

void StepEditor::buildTypes()
{
    contentLayout()->addWidget(makeCaption(QStringLiteral("Types à bloquer"), this, false));
    auto *grid = new QGridLayout;
    grid->setHorizontalSpacing(24);
    grid->setVerticalSpacing(4);
    for (std::size_t i = 0; i < kAllMIDIStatusTypes.size(); ++i) {
        const MIDIStatusType type = kAllMIDIStatusTypes[i];
        const auto text = label(type);
        auto *toggle = new ToggleSwitch(QString::fromUtf8(text.data(), static_cast<int>(text.size())), this);
        m_types[i] = toggle;
        grid->addWidget(toggle, static_cast<int>(i) / 2, static_cast<int>(i) % 2);
        connect(toggle, &QAbstractButton::toggled, this, [this, type](bool on) {
            edit([&](FilterStep &s) {
                std::set<MIDIStatusType> blocked;
                if (s.blockedTypes)
                    blocked.insert(s.blockedTypes->begin(), s.blockedTypes->end());
                if (on)
                    blocked.insert(type);
                else
                    blocked.erase(type);
                s.blockedTypes = std::vector<MIDIStatusType>(blocked.begin(), blocked.end());
            });
        });
    }
    contentLayout()->addLayout(grid);
}

void StepEditor::edit(const std::function<void(FilterStep &)> &change)
{
    const FilterChain *chain = m_state.project().findFilterChain(m_chainID);
    if (!chain)
        return;
    const FilterStep *current = nullptr;
    for (const FilterStep &s : chain->steps)
        if (s.id == m_stepID && !current)
            current = &s;
    if (!current)
        return;
    FilterStep changed = *current;
    change(changed);
    if (changed == *current)
        return;
    const Uuid chainID = m_chainID, stepID = m_stepID;
    m_state.mutateProject([&](TOVProject &p) {
        for (FilterChain &c : p.filterChains) {
            if (c.id != chainID)
                continue;
            for (FilterStep &s : c.steps)
                if (s.id == stepID) {
                    s = changed;
                    return;
                }
        }
    });
}

void StepEditor::refresh(const FilterStep &step)
{
    binding::setChecked(m_enabled, step.enabled);
    switch (m_kind) {
    case FilterStep::Kind::channelRemap: {
        const std::vector<int> map = step.channelMap.value_or(identityMap());
        for (int i = 0; i < 16; ++i)
            binding::setValue(m_steppers[i], i < static_cast<int>(map.size()) ? map[i] : i + 1);
        break;
    }
    case FilterStep::Kind::transpose:
        binding::setText(m_valueLabel, transposeText(step.transpose.value_or(0)));
        binding::setValue(m_steppers[0], step.transpose.value_or(0));
        break;
    case FilterStep::Kind::velocity: {
        const double scale = shownScale(step);
        binding::setText(m_valueLabel, scaleText(scale));
        const int position = static_cast<int>(std::lround(qBound(0.0, scale, 2.0) * 100));
        if (m_scale->value() != position) {
            const QSignalBlocker block(m_scale);
            m_scale->setValue(position);
        }
        const long long offset = step.velocityOffset.value_or(0);
        binding::setText(m_offsetLabel, QStringLiteral("Offset : %1").arg(offset));
        binding::setValue(m_steppers[0], offset);
        break;
    }
    case FilterStep::Kind::noteRange:
        binding::setValue(m_steppers[0], step.noteLow.value_or(0));
        binding::setValue(m_steppers[1], step.noteHigh.value_or(127));
        break;
    case FilterStep::Kind::ccRange:
        binding::setValue(m_steppers[0], step.ccLow.value_or(0));
        binding::setValue(m_steppers[1], step.ccHigh.value_or(127));
        break;
    case FilterStep::Kind::messageTypeFilter:
        for (std::size_t i = 0; i < kAllMIDIStatusTypes.size(); ++i) {
            const bool blocked =
                step.blockedTypes && std::find(step.blockedTypes->begin(), step.blockedTypes->end(),
                                               kAllMIDIStatusTypes[i]) != step.blockedTypes->end();
            binding::setChecked(m_types[i], blocked);
        }
        break;
    }
}

} // namespace korvane
