// The decisions of an update run, free of widgets so they can be checked on their own.
#include "app/UpdateRules.h"

#include <algorithm>

namespace UpdateRules {

bool HardwareMatches(const UpdatePackage& package, const DeviceFrame& frame) {
    const std::uint16_t revision = frame.HwRevision();
    const bool revisionListed = std::find(package.HwRevisions.begin(), package.HwRevisions.end(), revision) !=
                                package.HwRevisions.end();
    return revisionListed && frame.HwMajor() == package.HwMajor && frame.HwMinor() == package.HwMinor;
}

bool SoftwareMatches(const UpdatePackage& package, const DeviceFrame& frame) {
    return std::find(package.SwVersions.begin(), package.SwVersions.end(), frame.SwVersion()) !=
           package.SwVersions.end();
}

std::string IncorrectPageMessage(std::uint16_t PageNumber) {
    return IncorrectPageText + std::to_string(PageNumber);
}

ByteBuffer AnswerPageRequest(const UpdatePackage& package, const DeviceFrame& request) {
    return BuildPageFrame(request.PageWord(), LookupPage(package, request.PageNumber()));
}

Outcome ChooseOutcome(int position, int maximum, bool SoftwareCheckOff, bool LastPageReported) {
    if (position < maximum - 1 || !LastPageReported)
        return Outcome::Incomplete;
    return SoftwareCheckOff ? Outcome::CompleteSoftwareOff : Outcome::Complete;
}

const char* OutcomeText(Outcome outcome) {
    switch (outcome) {
    case Outcome::Incomplete:
        return OutcomeIncompleteText;
    case Outcome::CompleteSoftwareOff:
        return OutcomeSoftwareOffText;
    case Outcome::Complete:
        break;
    }
    return OutcomeCompleteText;
}

} // namespace UpdateRules
