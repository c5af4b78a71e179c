#include "settings/settingdialog.h"
#include "ui_settingdialog.h"

#include "security/identity.h"
#include "settings/settingskeys.h"

#include <QFileDialog>
#include <QSettings>
#include <QTextBoundaryFinder>

namespace {

// A label wraps only where words end; a long name without spaces would widen the dialog past the
// screen. A zero-width space after each character lets it wrap anywhere.
QString wrappable(const QString &text)
{
    QString result;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int start = 0;
    while (finder.toNextBoundary() != -1) {
        result += text.mid(start, finder.position() - start) + QChar(0x200B);
        start = finder.position();
    }
    return result;
}

} // namespace

SettingDialog::SettingDialog(QWidget *parent) : QDialog(parent), ui(new Ui::SettingDialog)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    settings = SettingsKeys::openConfig();
    // From the first start on the file holds the name in use, so that it stays the same when
    // the default would change.
    if (!settings->contains(SettingsKeys::userNameKey()) &&
        SettingsKeys::isValidUserName(SettingsKeys::defaultUserName()))
        settings->setValue(SettingsKeys::userNameKey(), SettingsKeys::defaultUserName());
    load();
    showIdentity(Identity::shared());
    setMinimumWidth(width());
}

SettingDialog::~SettingDialog() = default;

void SettingDialog::load()
{
    // A bad name from an older file is shown, to be fixed.
    ui->userNameLineEdit->setText(SettingsKeys::userName(*settings));
    showUserNameHint(); // an empty stored name changes no text
    ui->SaveDirLineEdit->setText(SettingsKeys::saveDir(*settings));
    showSaveDirHint();
    ui->nameClashComboBox->setCurrentIndex(int(SettingsKeys::nameClash(*settings)));
}

void SettingDialog::store()
{
    if (SettingsKeys::isValidUserName(ui->userNameLineEdit->text()))
        settings->setValue(SettingsKeys::userNameKey(), ui->userNameLineEdit->text());
    if (ui->SaveDirLineEdit->text() != SettingsKeys::saveDir(*settings))
        settings->setValue(SettingsKeys::saveDirKey(), ui->SaveDirLineEdit->text());
    const auto rule = SettingsKeys::NameClash(ui->nameClashComboBox->currentIndex());
    if (rule != SettingsKeys::nameClash(*settings))
        SettingsKeys::setNameClash(*settings, rule);
    settings->sync();
}

void SettingDialog::showIdentity(const Identity &identity)
{
    const bool usable = identity.isValid();
    ui->fingerprintLabel->setText(usable ? identity.fingerprint().readable() : tr("（无）"));
    if (!usable)
        ui->identityHintLabel->setText(
            tr("%1。本机身份无法使用，不能与其他设备加密传输。将「%2」和「%3」移走后重新启动会"
               "生成新的身份，已配对的设备需要重新核对配对码。")
                .arg(identity.errorString(), Identity::keyFileName(),
                     Identity::certificateFileName()));
    ui->identityHintLabel->setVisible(!usable);
    fitHeight();
}

void SettingDialog::showEvent(QShowEvent *event)
{
    ui->deviceList->refresh();
    fitHeight();
    QDialog::showEvent(event);
}

void SettingDialog::on_pushButton_clicked()
{
    const QString chosen = QFileDialog::getExistingDirectory(
        this, tr("选择一个文件夹"), ui->SaveDirLineEdit->text(), QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    ui->SaveDirLineEdit->setText(chosen);
    showSaveDirHint();
}

void SettingDialog::done(int result)
{
    if (result == QDialog::Accepted)
        store();
    // The fields show what is in use when the dialog opens again.
    load();
    QDialog::done(result);
    if (result == QDialog::Accepted)
        emit settingsChanged();
}

void SettingDialog::on_userNameLineEdit_textChanged(const QString &arg1)
{
    Q_UNUSED(arg1)
    showUserNameHint();
}

void SettingDialog::showUserNameHint()
{
    QLabel *hint = ui->userNameHintLabel;
    if (SettingsKeys::isValidUserName(ui->userNameLineEdit->text())) {
        hint->hide();
        return;
    }
    const QString stored = SettingsKeys::userName(*settings);
    const QString rule =
        tr("用户名不能为空，不能含有“:”或换行，最多%1个字。").arg(SettingsKeys::maxUserNameLength);
    hint->setText(rule + (SettingsKeys::isValidUserName(stored)
                              ? tr("仍使用原用户名“%1”。").arg(wrappable(stored))
                              : tr("改正之前，接收时对方看不到本机。")));
    hint->show();
    fitHeight();
}

void SettingDialog::showSaveDirHint()
{
    ui->saveDirHintLabel->setVisible(!SettingsKeys::canSaveTo(ui->SaveDirLineEdit->text()));
    fitHeight();
}

// A window's layout does not ask for the height that word-wrapped lines need at its width, so
// the dialog grows to show a message whole.
void SettingDialog::fitHeight()
{
    layout()->activate();
    const int needed = layout()->totalHeightForWidth(width());
    if (needed > height())
        resize(width(), needed);
}
