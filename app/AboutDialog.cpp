#include "AboutDialog.h"

#include "AppIcon.h"
#include "core/Config.h"
#include "ui/QtText.h"

#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

namespace sarnovelle {

namespace {

constexpr int noticePointSize = 10;
constexpr int iconSize = 64;

} // namespace

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("aboutDialog"));
    setWindowTitle(QStringLiteral("About Sarnovelle USB Maker"));

    auto* icon = new QLabel;
    icon->setObjectName(QStringLiteral("aboutIcon"));
    icon->setPixmap(appIcon().pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    auto* name = new QLabel(fromStd(Config::title));
    name->setObjectName(QStringLiteral("aboutName"));
    name->setTextFormat(Qt::PlainText);
    QFont nameFont = name->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.3);
    name->setFont(nameFont);

    auto* version = new QLabel(QStringLiteral("Version %1").arg(QStringLiteral(SARNOVELLE_VERSION)));
    version->setObjectName(QStringLiteral("aboutVersion"));

    // The notice is hard-wrapped already; the label must not wrap it again.
    auto* notice = new QLabel(fromStd(Config::notice));
    notice->setObjectName(QStringLiteral("aboutNotice"));
    notice->setTextFormat(Qt::PlainText);
    notice->setWordWrap(false);
    notice->setTextInteractionFlags(Qt::TextSelectableByMouse);
    QFont noticeFont = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    noticeFont.setPointSize(noticePointSize);
    notice->setFont(noticeFont);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);

    auto* text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(version);
    text->addSpacing(8);
    text->addWidget(notice);

    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addSpacing(12);
    row->addLayout(text, 1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

} // namespace sarnovelle
