#include "rtmidi_names.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <string_view>

namespace keyflip {

namespace {

constexpr std::string_view kClient = "Keyflip";

bool allDigits(std::string_view text) {
    return !text.empty() && std::ranges::all_of(text, [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

// What RtMidi appended, if it did: " 128:0", or " 2" at place 2.
std::size_t appendedLength(RtMidiNaming naming, std::string_view name, std::size_t place) {
    const std::size_t space = name.rfind(' ');
    if (space == std::string_view::npos || space == 0) {
        return 0;
    }
    const std::string_view tail = name.substr(space + 1);
    switch (naming) {
        case RtMidiNaming::AddressAppended: {
            const std::size_t colon = tail.find(':');
            if (colon == std::string_view::npos || !allDigits(tail.substr(0, colon)) ||
                !allDigits(tail.substr(colon + 1))) {
                return 0;
            }
            break;
        }
        case RtMidiNaming::IndexAppended:
            if (tail != std::to_string(place)) {
                return 0;
            }
            break;
        case RtMidiNaming::AsGiven:
            return 0;
    }
    return name.size() - space;
}

}  // namespace

std::vector<std::string> shownPortNames(RtMidiNaming naming,
                                        const std::vector<std::string>& given) {
    std::vector<std::string> shown;
    shown.reserve(given.size());
    std::map<std::string, int> uses;
    for (std::size_t place = 0; place < given.size(); ++place) {
        const std::string& name = given[place];
        shown.push_back(name.substr(0, name.size() - appendedLength(naming, name, place)));
        ++uses[shown.back()];
    }
    for (std::size_t place = 0; place < given.size(); ++place) {
        if (uses[shown[place]] > 1) {
            shown[place] = given[place];
        }
    }
    return shown;
}

bool isOwnPortName(const std::string& name) {
    const std::string_view view(name);
    if (!view.starts_with(kClient)) {
        return false;
    }
    const std::string_view rest = view.substr(kClient.size());
    if (rest == " in" || rest == " out" || rest.starts_with(':')) {
        return true;
    }
    const std::size_t colon = rest.find(':');
    return rest.starts_with('-') && colon != std::string_view::npos &&
           allDigits(rest.substr(1, colon - 1));
}

}  // namespace keyflip
