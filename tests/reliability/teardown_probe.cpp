// Not a test of its own: the child process of the teardown test. It opens and
// starts both ports on the JACK backend, leaves a note sounding, kills the
// JACK server (pid given) and, after the given time of answering events,
// ends as File > Exit does and then destroys the backend. It prints "ended"
// once all of that has returned; a hang is caught by the parent's deadline.

#include "jack/jack_backend.h"
#include "midi_port.h"

#include <QCoreApplication>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <jackd pid> <microseconds before ending>\n", argv[0]);
        return 2;
    }
    const pid_t server = static_cast<pid_t>(std::atol(argv[1]));
    const std::chrono::microseconds before{std::atol(argv[2])};
    QCoreApplication application(argc, argv);
    auto backend = keyflip::createJackBackend();
    {
        keyflip::MidiInputPort input(*backend);
        keyflip::MidiOutputPort output(*backend);
        input.setDeviceIndex(static_cast<std::int16_t>(input.deviceCount() - 1));
        input.setPortCommand(keyflip::PORT_OPEN);
        output.setDeviceIndex(-1);
        output.setPortCommand(keyflip::PORT_OPEN);
        input.setPortCommand(keyflip::PORT_START);
        output.setPortCommand(keyflip::PORT_START);
        output.setMsgStatus(0x90);
        output.setMsgData1(60);
        output.setMsgData2(100);
        output.setPortCommand(keyflip::MSG_SEND);
        if (input.portState() != keyflip::PORT_STATE_STARTED ||
            output.portState() != keyflip::PORT_STATE_STARTED) {
            std::printf("the ports did not start\n");
            return 3;
        }
        std::fflush(stdout);
        if (::kill(server, SIGKILL) != 0) {
            std::printf("the server could not be killed\n");
            return 4;
        }
        const auto until = std::chrono::steady_clock::now() + before;
        while (std::chrono::steady_clock::now() < until) {
            QCoreApplication::processEvents();
        }
        input.setPortCommand(keyflip::PORT_STOP);
        input.setPortCommand(keyflip::PORT_CLOSE);
        output.setPortCommand(keyflip::PORT_CLOSE);
    }
    backend.reset();
    std::printf("ended\n");
    return 0;
}
