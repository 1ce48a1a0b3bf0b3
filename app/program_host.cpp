#include "program_host.h"

#include "setup_dialog.h"

#include <QCoreApplication>
#include <QMessageBox>

namespace keyflip {

void SystemHost::showModal(MIDISetupForm& form) {
    form.exec();
}

void SystemHost::showMessage(QWidget* parent, BoxKind kind, const QString& title,
                             const QString& text) {
    QMessageBox box(kind == BoxKind::Fatal ? QMessageBox::Critical : QMessageBox::NoIcon, title,
                    text, QMessageBox::Ok, parent);
    box.exec();
}

void SystemHost::endProgram(int status) {
    ended_ = true;
    exitStatus_ = status;
    QCoreApplication::exit(status);
}

}  // namespace keyflip
