#include "ui/shell/dialogs/AboutDialog.h"

#include <QApplication>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <alsa/asoundlib.h>
#include <cstring>
#include <curl/curl.h>
#include <mpg123.h>
#include <vorbis/codec.h>

#include "bladeenc/BladeEnc.h"
#include "core/ProgramHome.h"
#include "core/Version.h"
#include "recording/EncoderBase.h"
#include "recording/EncoderLibrary.h"
#include "ui/shell/QtUserPrompt.h"

#ifndef WK_MPG123_VERSION
#define WK_MPG123_VERSION "?"
#endif

namespace wk::ui {
namespace {

// The MP3 engine is whatever encoder library the recorder would load: the
// version comes from that library, not from the one this build saw.
QString EncoderVersion() {
    EncoderLibrary library;
    std::string why;
    const char* name = EncoderBase::LibraryName(kEngineLame);
    if (!library.Load(name, &why))
        return QObject::tr("not found (%1): MP3 recording is not possible").arg(QString::fromStdString(why));
    if (!library.ResolveFunctions() || !library.version) {
        library.Unload();
        return QObject::tr("%1 is not an encoder library").arg(QString::fromStdString(library.Path()));
    }
    BE_VERSION v;
    std::memset(&v, 0, sizeof v);
    library.version(&v);
    const QString text = QObject::tr("LAME %1.%2 through %3 %4.%5 (%6)")
                             .arg(v.byMajorVersion)
                             .arg(v.byMinorVersion)
                             .arg(QString::fromLatin1(name))
                             .arg(v.byDLLMajorVersion)
                             .arg(v.byDLLMinorVersion)
                             .arg(QString::fromStdString(library.Path()));
    library.Unload();
    return text;
}

QString Mpg123Version() {
#if MPG123_API_VERSION >= 48
    unsigned major = 0, minor = 0, patch = 0;
    return QString::fromLatin1(mpg123_distversion(&major, &minor, &patch));
#else
    // Older libraries cannot name their version; this is the one built with.
    return QObject::tr("%1 (built with; interface %2)").arg(QLatin1String(WK_MPG123_VERSION)).arg(MPG123_API_VERSION);
#endif
}

}  // namespace

std::vector<LibraryVersion> LibraryVersions() {
    const curl_version_info_data* curl = curl_version_info(CURLVERSION_NOW);
    return {
        {QStringLiteral("Qt"), QString::fromLatin1(qVersion())},
        {QStringLiteral("libmp3lame"), EncoderVersion()},
        {QStringLiteral("libmpg123"), Mpg123Version()},
        {QStringLiteral("libvorbis"), QString::fromLatin1(vorbis_version_string())},
        {QStringLiteral("libcurl"), QString::fromLatin1(curl && curl->version ? curl->version : "?") +
                                        (curl && curl->ssl_version
                                             ? QStringLiteral(" (%1)").arg(QLatin1String(curl->ssl_version))
                                             : QString())},
        {QStringLiteral("alsa-lib"), QString::fromLatin1(snd_asoundlib_version())},
    };
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle(tr("About wavkeep"));
    auto* layout = new QVBoxLayout(this);
    const QString home = QDir::toNativeSeparators(QString::fromStdString(ProgramFolder()));
    auto* title = new QLabel(tr("<h2>wavkeep %1</h2>").arg(QLatin1String(kWavkeepVersion)));
    layout->addWidget(title);
    auto* blurb = new QLabel(tr("Records radio and TV broadcasts into streams of short chunks, places the "
                                "songs' descriptions on them and exports tagged music files."));
    blurb->setWordWrap(true);
    layout->addWidget(blurb);
    auto* homeLabel = new QLabel(tr("Program home: %1").arg(home));
    homeLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(homeLabel);

    auto* list = new QTreeWidget;
    list->setObjectName(QStringLiteral("libraries"));
    list->setHeaderLabels({tr("Library"), tr("Version")});
    list->setRootIsDecorated(false);
    m_text = QStringLiteral("wavkeep %1 (%2)\n%3\n").arg(QLatin1String(kWavkeepVersion), QLatin1String(kWavkeepBuildLabel),
                                                         tr("Program home: %1").arg(home));
    for (const LibraryVersion& lib : LibraryVersions()) {
        new QTreeWidgetItem(list, {lib.name, lib.version});
        m_text += lib.name + QStringLiteral(": ") + lib.version + QLatin1Char('\n');
    }
    list->resizeColumnToContents(0);
    list->setMinimumWidth(620);
    list->setMinimumHeight(170);
    layout->addWidget(list, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    QPushButton* copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(m_text); });
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    layout->addWidget(buttons);
}

void RunAboutBox(UserPrompt& prompt, QWidget* parent) {
    AboutDialog dialog(parent);
    QtUserPrompt::RunDialogWith(prompt, dialog);
}

}  // namespace wk::ui
