#pragma once

#include <string_view>

namespace ambrevoli {

// What a deliverable knows about itself. The values are generated into each executable at build
// time (CMake's ambrevoli_bundle()), so the kit, linked into several deliverables, reads the
// running one's values rather than its own.
struct BundleInfo {
    std::string_view identifier;
    std::string_view version;
    // The app group identifier both deliverables share; empty when the build left it out.
    std::string_view appGroup;
    // Where the host application is installed.
    std::string_view hostExecutable;
};

// The running executable's bundle information. Defined by the generated source of the
// executable; thread-safe, never fails.
const BundleInfo& mainBundle();

} // namespace ambrevoli
