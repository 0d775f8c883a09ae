#pragma once

#include "outcome_record.h"

#include <string>

// How far a waiting sender's copies have come, as one line of a terminal shows it.

namespace ambrevoli {

// "[########--------]  42%  1.2 GB of 2.9 GB": a bar, the percent done (whole, rounded down, so
// that 100% means done) and what is done of the whole, in sizes as formattedByteCount writes them
// when the byte total is known, else in items ("3 of 10 items"). At most `width` columns (one
// per code point): the bar shrinks to fit, goes when it would be too short to read, and the
// text is cut last. Empty for a width below 1.
std::string progressLine(const ProgressFigures& figures, int width);

} // namespace ambrevoli
