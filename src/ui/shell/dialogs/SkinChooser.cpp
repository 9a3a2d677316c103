#include "ui/shell/dialogs/SkinChooser.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>
#include <cstring>
#include <map>

#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "ui/shell/QtUserPrompt.h"

static void InitSkinResources() {
    Q_INIT_RESOURCE(skins);
}

namespace wk::ui {
namespace {

constexpr const char* kSkinKey = "ActiveSkin";
constexpr const char* kSkinsDir = "Skins/";
constexpr const char* kShipped = ":/wavkeep/skins/";
// A style sheet is a page or two; anything this large is not one.
constexpr qint64 kMaxSkinBytes = 1 << 20;

bool IsSkinFile(const QString& name) {
    return name.endsWith(QLatin1String(".qss"), Qt::CaseInsensitive);
}

// "LargePrint" -> "Large print".
QString DisplayName(const QString& file) {
    const QString base = QFileInfo(file).completeBaseName();
    QString name;
    for (int i = 0; i < base.size(); ++i) {
        if (i > 0 && base[i].isUpper() && base[i - 1].isLower()) name += QLatin1Char(' ') + base[i].toLower();
        else name += base[i];
    }
    return name;
}

QtMessageHandler g_previousHandler = nullptr;
bool g_parseFailed = false;

void WatchParse(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (message.contains(QLatin1String("Could not parse"))) g_parseFailed = true;
    else if (g_previousHandler) g_previousHandler(type, context, message);
}

// Qt says no more about a sheet it cannot parse than a warning line.
bool Parses(const QString& sheet) {
    g_parseFailed = false;
    g_previousHandler = qInstallMessageHandler(WatchParse);
    {
        QWidget probe;
        probe.setStyleSheet(sheet);
        probe.ensurePolished();
    }
    qInstallMessageHandler(g_previousHandler);
    return !g_parseFailed;
}

}  // namespace

QString SkinsFolder() {
    return QString::fromStdString(ProgramFile(kSkinsDir));
}

std::vector<Skin> AvailableSkins() {
    InitSkinResources();
    std::map<QString, Skin> byFile;  // by file name, case-insensitively
    const auto add = [&](const QDir& dir) {
        for (const QString& file : dir.entryList(QDir::Files | QDir::Readable, QDir::Name)) {
            if (!IsSkinFile(file) || file.startsWith(QLatin1Char('.'))) continue;
            byFile[file.toLower()] = Skin{DisplayName(file), QLatin1String(kSkinsDir) + file};
        }
    };
    add(QDir(QString::fromLatin1(kShipped)));
    add(QDir(SkinsFolder()));
    std::vector<Skin> skins{Skin{QObject::tr("Built-in (the system's look)"), QString()}};
    for (auto& [file, skin] : byFile) skins.push_back(skin);
    return skins;
}

QString ActiveSkinSetting() {
    ConfigStore config;
    config.Load();
    const QString value = QString::fromStdString(config.GetString(kSkinKey));
    return IsSkinFile(value) ? value : QString();
}

bool LoadSkin(const QString& setting, QString* sheet, QString* why) {
    sheet->clear();
    if (setting.isEmpty()) return true;
    const QString file = setting.mid(static_cast<int>(std::strlen(kSkinsDir)));
    if (!setting.startsWith(QLatin1String(kSkinsDir)) || !IsSkinFile(setting) || file.isEmpty() ||
        file.contains(QLatin1Char('/')) || file.contains(QLatin1Char('\\')) || file.startsWith(QLatin1Char('.'))) {
        *why = QObject::tr("\"%1\" is not a skin of the Skins folder").arg(setting);
        return false;
    }
    InitSkinResources();
    QFile own(SkinsFolder() + file);
    QFile shipped(QString::fromLatin1(kShipped) + file);
    QFile& source = own.exists() ? own : shipped;
    if (!source.exists()) {
        *why = QObject::tr("%1 is missing").arg(own.fileName());
        return false;
    }
    // A device or a pipe named .qss would never end or never answer.
    if (!QFileInfo(source.fileName()).isFile()) {
        *why = QObject::tr("%1 is not a file").arg(source.fileName());
        return false;
    }
    if (!source.open(QIODevice::ReadOnly)) {
        *why = QObject::tr("%1 cannot be read: %2").arg(source.fileName(), source.errorString());
        return false;
    }
    const QByteArray bytes = source.read(kMaxSkinBytes + 1);
    if (bytes.size() > kMaxSkinBytes) {
        *why = QObject::tr("%1 is too large for a style sheet").arg(source.fileName());
        return false;
    }
    const QString text = QString::fromUtf8(bytes);
    if (!Parses(text)) {
        *why = QObject::tr("%1 is not a style sheet Qt can read").arg(source.fileName());
        return false;
    }
    *sheet = text;
    return true;
}

bool ApplySkin(const QString& setting, QString* why) {
    QString sheet;
    if (!LoadSkin(setting, &sheet, why)) return false;
    qApp->setStyleSheet(sheet);
    return true;
}

bool ChooseSkin(const QString& setting, QString* why) {
    QString sheet;
    if (!LoadSkin(setting, &sheet, why)) return false;
    ConfigStore config;
    config.Load();
    config.SetString(kSkinKey, setting.isEmpty() ? ConfigStore::DefaultValue(kSkinKey) : setting.toStdString());
    std::string problem;
    if (!config.Save(&problem)) {
        *why = QObject::tr("config.ini was not saved: %1").arg(QString::fromStdString(problem));
        return false;
    }
    qApp->setStyleSheet(sheet);
    return true;
}

void ApplyConfiguredSkin() {
    QString why;
    if (ApplySkin(ActiveSkinSetting(), &why)) return;
    Trace(kTraceError, "skin not applied: %s", why.toStdString().c_str());
    AddEvent("The skin could not be applied (" + why.toStdString() + "); the built-in look is used.");
}

SkinChooserDialog::SkinChooserDialog(QWidget* parent)
    : QDialog(parent), m_list(new QListWidget), m_problem(new QLabel) {
    setWindowTitle(tr("Choose skin"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(tr("A skin is a Qt style sheet (.qss). Put your own into\n%1\nto add it here.")
                                 .arg(QDir::toNativeSeparators(SkinsFolder())));
    intro->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(intro);
    m_list->setObjectName(QStringLiteral("skins"));
    const QString active = ActiveSkinSetting();
    for (const Skin& skin : AvailableSkins()) {
        auto* item = new QListWidgetItem(skin.name, m_list);
        item->setData(Qt::UserRole, skin.setting);
        item->setToolTip(skin.setting.isEmpty() ? tr("no style sheet") : skin.setting);
        if (skin.setting.compare(active, Qt::CaseInsensitive) == 0) m_list->setCurrentItem(item);
    }
    if (!m_list->currentItem()) m_list->setCurrentRow(0);
    layout->addWidget(m_list, 1);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setWordWrap(true);
    m_problem->setStyleSheet(QStringLiteral("color: #c00000"));
    m_problem->hide();
    layout->addWidget(m_problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(m_list, &QListWidget::itemDoubleClicked, this, &QDialog::accept);
    resize(420, 320);
}

void SkinChooserDialog::accept() {
    const QListWidgetItem* item = m_list->currentItem();
    QString why;
    if (item && !ChooseSkin(item->data(Qt::UserRole).toString(), &why)) {
        m_problem->setText(tr("The skin was not applied: %1. The current skin stays.").arg(why));
        m_problem->show();
        return;
    }
    QDialog::accept();
}

std::optional<QString> RunSkinChooser(UserPrompt& prompt, QWidget* parent) {
    SkinChooserDialog dialog(parent);
    if (!QtUserPrompt::RunDialogWith(prompt, dialog) || !dialog.List()->currentItem()) return std::nullopt;
    return dialog.List()->currentItem()->text();
}

}  // namespace wk::ui
