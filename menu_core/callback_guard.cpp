#include "callback_guard.h"

#include "log.h"

namespace ambrevoli {

void logUnexpectedFailure(std::string_view activity, std::string_view description) noexcept
{
    try {
        logger("extension")
            .log(LogLevel::error, "Unexpected failure while ", activity, ": ",
                 Private{description});
    } catch (...) {
        // Not even the line could be written (no memory left); the caller carries on regardless.
    }
}

} // namespace ambrevoli
