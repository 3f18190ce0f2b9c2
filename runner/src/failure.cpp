#include "runner/failure.hpp"

namespace runner {

std::string equality_failure_text(std::string_view left, std::string_view right,
                                  std::optional<std::string_view> message) {
    std::string text = "assertion `left == right` failed";
    if (message) {
        text += ": ";
        text += *message;
    }
    text += "\n  left: ";
    text += left;
    text += "\n right: ";
    text += right;
    return text;
}

}  // namespace runner
