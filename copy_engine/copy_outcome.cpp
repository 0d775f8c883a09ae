#include "copy_outcome.h"

namespace ambrevoli {

namespace {

std::string_view boolText(bool value) { return value ? "true" : "false"; }

} // namespace

std::string textualForm(const CopyFailure& failure)
{
    using enum CopyFailure::Case;
    switch (failure.kind) {
    case notPermitted:
        return caseText("notPermitted", "protectedFolder", boolText(failure.protectedFolder));
    case other: return caseText("other", std::to_string(failure.errorNumber));
    case missing: return "missing";
    case destinationGone: return "destinationGone";
    case intoItself: return "intoItself";
    case notDownloaded: return "notDownloaded";
    case noPermission: return "noPermission";
    case outOfSpace: return "outOfSpace";
    case nameTooLong: return "nameTooLong";
    case cancelled: return "cancelled";
    case nameRefused: return "nameRefused";
    case tooLarge: return "tooLarge";
    case kindRefused: return "kindRefused";
    case unreachable: return "unreachable";
    }
    return "unknown";
}

std::string_view errorDomain(const CopyFailure&) { return "CopyEngine.CopyFailure"; }
long errorCode(const CopyFailure& failure) { return static_cast<long>(failure.kind); }

std::string textualForm(const DestinationProblem& problem)
{
    using enum DestinationProblem::Case;
    switch (problem.kind) {
    case notPermitted:
        return caseText("notPermitted", "protectedFolder", boolText(problem.protectedFolder));
    case other: return caseText("other", std::to_string(problem.errorNumber));
    case missing: return "missing";
    case noPermission: return "noPermission";
    case readOnly: return "readOnly";
    case unreachable: return "unreachable";
    }
    return "unknown";
}

std::string_view errorDomain(const DestinationProblem&) { return "CopyEngine.DestinationProblem"; }
long errorCode(const DestinationProblem& problem) { return static_cast<long>(problem.kind); }

} // namespace ambrevoli
