#include "main_window.h"

#include "center_on_screen.h"
#include "twips.h"

#include <QAction>
#include <QCloseEvent>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollBar>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

#include <iterator>

namespace keyflip {

namespace {

constexpr int kClientWidthTwips = 4890;
constexpr int kClientHeightTwips = 5280;

// The desktop styles draw no focus on a scroll bar, yet the arrow keys move
// the one that has it; a player at the keyboard must see which one that is.
class FocusShowingScrollBar : public QScrollBar {
public:
    using QScrollBar::QScrollBar;

protected:
    void paintEvent(QPaintEvent* event) override {
        QScrollBar::paintEvent(event);
        if (!hasFocus()) {
            return;
        }
        QStylePainter painter(this);
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.backgroundColor = palette().color(QPalette::Window);
        painter.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
};

QScrollBar* scrollBar(QWidget* client, Qt::Orientation orientation, int maximum, int value) {
    auto* bar = new FocusShowingScrollBar(orientation, client);
    bar->setRange(0, maximum);
    bar->setValue(value);
    // One step for an arrow and one for a click in the trough.
    bar->setSingleStep(1);
    bar->setPageStep(1);
    bar->setFocusPolicy(Qt::StrongFocus);
    // Scroll bars invert their keys by default, which on a horizontal bar
    // makes Right lower the value; Right raises it here, Down still raises
    // the transposition on the vertical bar.
    bar->setInvertedControls(orientation == Qt::Vertical);
    return bar;
}

QString textOf(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A bare scroll bar would be read out as a number alone, so the names of the
// two bars carry their values and follow them.
QString transposeName(int semitones) {
    return semitones == 1 ? QStringLiteral("Transpose, 1 semitone")
                          : QStringLiteral("Transpose, %1 semitones").arg(semitones);
}

QString wheelNoteName(int note) {
    return QStringLiteral("Wheel note, %1").arg(note);
}

void describe(QWidget* control, const QString& name, const QString& description) {
    control->setAccessibleName(name);
    control->setAccessibleDescription(description);
}

// What a screen reader says for each control; the names begin with the
// captions, so that they match what is seen.
void describeControls(frmMain& form) {
    describe(form.Command1, QStringLiteral("go"),
             QStringLiteral("Starts passing messages from the MIDI input to the MIDI output. The "
                            "first time, MIDI Setup opens to choose the devices."));
    describe(form.vslidertranspose, transposeName(form.vslidertranspose->value()),
             QStringLiteral("Raises every note by 0 to 12 semitones. Down raises, Up lowers."));
    describe(form.stopbutton, QStringLiteral("stop"),
             QStringLiteral("Silences the notes still sounding, closes the MIDI ports and ends "
                            "Keyflip."));
    describe(form.message, QStringLiteral("msg"),
             QStringLiteral("Status byte of the last message sent, in decimal."));
    describe(form.data1, QStringLiteral("data1"),
             QStringLiteral("First data byte of the last message sent: the note, after the "
                            "rules."));
    describe(form.data2, QStringLiteral("data2"),
             QStringLiteral("Second data byte of the last message sent: the velocity or value."));
    describe(form.wheelnote, wheelNoteName(form.wheelnote->value()),
             QStringLiteral("The note, 0 to 127, that the modulation wheel on channel 1 plays."));
    describe(form.reverse, QStringLiteral("reverse"),
             QStringLiteral("Mirrors the keyboard: note n plays as 127 minus n. Press again to "
                            "turn it off."));

    QScrollBar* const transpose = form.vslidertranspose;
    QObject::connect(transpose, &QScrollBar::valueChanged, transpose, [transpose](int value) {
        transpose->setAccessibleName(transposeName(value));
    });
    QScrollBar* const wheel = form.wheelnote;
    QObject::connect(wheel, &QScrollBar::valueChanged, wheel,
                     [wheel](int value) { wheel->setAccessibleName(wheelNoteName(value)); });
}

}  // namespace

frmMain::frmMain(MidiBackend& backend, ProgramHost& host, QWidget* parent)
    : QMainWindow(parent),
      MIDIInput1(new MidiInputPort(backend, this)),
      MIDIOutput1(new MidiOutputPort(backend, this)),
      host_(host),
      boundary_(host, *this),
      pump_(*MIDIInput1, *MIDIOutput1, *this, *this) {
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QString::fromLatin1(kProgramName));
    setWindowIcon(QIcon(QStringLiteral(":/keyflip/keyflip.xpm")));
    // A fixed single border: minimize, but no maximize.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    MIDIInput1->setObjectName(QStringLiteral("MIDIInput1"));
    MIDIOutput1->setObjectName(QStringLiteral("MIDIOutput1"));
    useFormFont(*this);

    createControls();
    createMenus();
    const QRect clientArea = pixelsFromTwips(0, 0, kClientWidthTwips, kClientHeightTwips);
    client_->setFixedSize(clientArea.size());
    setFixedSize(clientArea.width(), clientArea.height() + menuBar()->sizeHint().height());
    connectHandlers();

    boundary_.run([this] { Form_Load(); });
}

frmMain::~frmMain() = default;

void frmMain::createControls() {
    client_ = new QWidget(this);
    client_->setObjectName(QStringLiteral("client"));
    setCentralWidget(client_);

    // Created in tab order, which is the order focus moves in.
    Command1 =
        place(new QPushButton(QStringLiteral("go"), client_), "Command1", 360, 360, 855, 615);
    vslidertranspose =
        place(scrollBar(client_, Qt::Vertical, 12, 0), "vslidertranspose", 1680, 360, 255, 2295);
    label1 = placeLabel(client_, "label1", "transpose", 1440, 2760, 975, 255);
    stopbutton =
        place(new QPushButton(QStringLiteral("stop"), client_), "stopbutton", 360, 1200, 855, 615);
    message = place(new QLineEdit(client_), "message", 2520, 360, 1455, 375);
    Label2 = placeLabel(client_, "Label2", "msg", 4200, 480, 495, 255);
    data1 = place(new QLineEdit(client_), "data1", 2520, 960, 1455, 375);
    data2 = place(new QLineEdit(client_), "data2", 2520, 1560, 1455, 375);
    Label3 = placeLabel(client_, "Label3", "data1", 4200, 1080, 615, 255);
    Label4 = placeLabel(client_, "Label4", "data2", 4200, 1560, 495, 255);
    wheelnote =
        place(scrollBar(client_, Qt::Horizontal, 127, 64), "wheelnote", 360, 4560, 3375, 255);
    Label5 = placeLabel(client_, "Label5", "wheelnote", 480, 4080, 3375, 255);
    reverse =
        place(new QPushButton(QStringLiteral("reverse"), client_), "reverse", 360, 2040, 855, 495);

    QWidget* const tabOrder[] = {Command1, vslidertranspose, stopbutton, message, data1,
                                 data2,    wheelnote,        reverse};
    for (std::size_t i = 1; i < std::size(tabOrder); ++i) {
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
    }
    Command1->setFocus();
    describeControls(*this);
}

void frmMain::createMenus() {
    QMenuBar* const bar = menuBar();

    mnuFile = bar->addMenu(QStringLiteral("&File"));
    mnuFile->setObjectName(QStringLiteral("mnuFile"));
    mnuFileLoadBank = mnuFile->addAction(QStringLiteral("&Load Bank"));
    mnuFileLoadBank->setObjectName(QStringLiteral("mnuFileLoadBank"));
    MnuSaveBankAs = mnuFile->addAction(QStringLiteral("Save Bank &As..."));
    MnuSaveBankAs->setObjectName(QStringLiteral("MnuSaveBankAs"));
    mnuFileSep1 = mnuFile->addSeparator();
    mnuFileSep1->setObjectName(QStringLiteral("mnuFileSep1"));
    mnuFileExit = mnuFile->addAction(QStringLiteral("E&xit"));
    mnuFileExit->setObjectName(QStringLiteral("mnuFileExit"));

    mnuMidi = bar->addMenu(QStringLiteral("&MIDI"));
    mnuMidi->setObjectName(QStringLiteral("mnuMidi"));
    mnuMidiSetup = mnuMidi->addAction(QStringLiteral("&Setup"));
    mnuMidiSetup->setObjectName(QStringLiteral("mnuMidiSetup"));
    mnuMidiThru = mnuMidi->addAction(QStringLiteral("&Thru"));
    mnuMidiThru->setObjectName(QStringLiteral("mnuMidiThru"));
    // A checkable item flips its own check mark when picked: that is the
    // whole of the Thru command, and nothing else reads the mark.
    mnuMidiThru->setCheckable(true);
    mnuMidiThru->setChecked(true);

    mnuHelp = bar->addMenu(QStringLiteral("&Help"));
    mnuHelp->setObjectName(QStringLiteral("mnuHelp"));
    mnuHelpAbout = mnuHelp->addAction(QStringLiteral("&About"));
    mnuHelpAbout->setObjectName(QStringLiteral("mnuHelpAbout"));
}

template <typename Sender, typename Signal>
void frmMain::route(Sender* sender, Signal signal, void (frmMain::*handler)()) {
    connect(sender, signal, this,
            [this, handler] { boundary_.run([this, handler] { (this->*handler)(); }); });
}

void frmMain::connectHandlers() {
    route(Command1, &QPushButton::clicked, &frmMain::Go);
    route(stopbutton, &QPushButton::clicked, &frmMain::Exit);
    route(mnuFileExit, &QAction::triggered, &frmMain::Exit);
    route(mnuMidiSetup, &QAction::triggered, &frmMain::Setup);
    route(reverse, &QPushButton::clicked, &frmMain::Reverse);
    route(MIDIInput1, &MidiInputPort::Message, &frmMain::MIDIInput1_Message);
    route(MIDIInput1, &MidiInputPort::SourceLost, &frmMain::MIDIInput1_SourceLost);

    // The ports pass code and text by reference, so the call must be direct.
    const auto portError = [this](qint16& code, QString& text) {
        boundary_.run([this, &code, &text] { PortError(code, text); });
    };
    connect(MIDIInput1, &MidiInputPort::PortError, this, portError, Qt::DirectConnection);
    connect(MIDIOutput1, &MidiOutputPort::PortError, this, portError, Qt::DirectConnection);
}

void frmMain::Form_Load() {
    setupneeded = true;
    reverseon = false;
    CenterOnScreen(*this);
}

void frmMain::MIDIInput1_Message() {
    pump_.run();
}

void frmMain::MIDIInput1_SourceLost() {
    pump_.releaseHeldNotes();
}

std::int16_t frmMain::transposeAmount() const {
    // The bar's range, 0..12, keeps the value within 16 bits.
    return static_cast<std::int16_t>(vslidertranspose->value());
}

bool frmMain::reverseFlag() const {
    return reverseon;
}

std::int16_t frmMain::wheelNote() const {
    return static_cast<std::int16_t>(wheelnote->value());
}

void frmMain::setStatusText(std::string_view text) {
    message->setText(textOf(text));
}

void frmMain::setData1Text(std::string_view text) {
    data1->setText(textOf(text));
}

void frmMain::setData2Text(std::string_view text) {
    data2->setText(textOf(text));
}

void frmMain::closeEvent(QCloseEvent* event) {
    boundary_.run([this] { Form_Unload(); });
    // Closing cannot be cancelled.
    event->accept();
}

}  // namespace keyflip
