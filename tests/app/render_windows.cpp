// Renders both windows, as they first show, and the window icon to PNG
// files in the folder given on the command line, on in-memory ports with a
// few named devices.

#include "app_test_support.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QTextStream>

namespace {

bool save(const QPixmap& picture, const QDir& folder, const QString& name) {
    const QString path = folder.filePath(name + QStringLiteral(".png"));
    if (!picture.save(path)) {
        QTextStream(stderr) << "cannot write " << path << '\n';
        return false;
    }
    QTextStream(stdout) << path << '\n';
    return true;
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 2) {
        QTextStream(stderr) << "usage: keyflip_screenshots FOLDER\n";
        return 2;
    }
    const QDir folder(arguments[1]);
    if (!folder.mkpath(QStringLiteral("."))) {
        QTextStream(stderr) << "cannot make " << arguments[1] << '\n';
        return 1;
    }

    keyflip::testing::AppFixture app({"USB Keys", "Stage Piano"}, {"Synth Module", "Drum Box"});
    app.form->show();
    bool saved = save(app.form->grab(), folder, QStringLiteral("frmMain"));
    // The window icon, four times its size so that its pixels can be seen.
    saved = save(app.form->windowIcon().pixmap(32, 32).scaled(128, 128), folder,
                 QStringLiteral("icon")) &&
            saved;

    app.host.onModal = [&](keyflip::MIDISetupForm& form) {
        form.show();
        saved = save(form.grab(), folder, QStringLiteral("MIDISetupForm")) && saved;
        form.CmdOk->click();
    };
    app.form->mnuMidiSetup->trigger();

    // The box shown when the keyboard is unplugged while playing, as the
    // program shows it.
    app.host.whileBoxWaits = [&](const keyflip::testing::RecordingHost::Box& box) {
        QMessageBox shown(QMessageBox::NoIcon, box.title, box.text, QMessageBox::Ok,
                          app.form.get());
        shown.show();
        saved = save(shown.grab(), folder, QStringLiteral("device-left-box")) && saved;
    };
    app.form->Command1->click();
    app.backend.unplug(keyflip::PortSide::Input);
    return saved ? 0 : 1;
}
