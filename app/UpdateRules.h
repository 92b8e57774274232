// The decisions of an update run, as plain functions the main window's handlers call: version checks,
// the page-number bound, the answer to a page request and the outcome of a run.
#pragma once

#include "common/ByteBuffer.h"
#include "package/UpdatePackage.h"
#include "protocol/DeviceFrame.h"

#include <string>

namespace UpdateRules {

inline constexpr const char* ConfirmStartText =
    "Command of software updating is entered. Switch off \npower supply of the device and check cable "
    "connection.\nAfter that push the button 'Yes'. Cancellation of updating \nis made by a depressing the "
    "button 'No'.";
inline constexpr const char* HardwareQuestionText =
    "The hardware version of the instrument is incompatible with updating!\nTo disable check of the hardware "
    "version?";
inline constexpr const char* SoftwareQuestionText =
    "The current program version of the device is not completely\ncompatible with updating! To disable "
    "warning about incompatibility?";
inline constexpr const char* HardwareRefusedText =
    "Device's hardware version is incompatible with the loading file!";
inline constexpr const char* SoftwareRefusedText =
    "Device's program version is incompatible with the loading file!";
inline constexpr const char* IncorrectPageText = "Incorrect page number: ";
inline constexpr const char* DefectiveText =
    "It is not possible to make programming!\nThe device is defective. ";
inline constexpr const char* OutcomeIncompleteText =
    "Program loading into device is made not completely!\nIt is necessary to repeat programming.\n";
inline constexpr const char* OutcomeSoftwareOffText =
    "Loading is successfully completed! However the loaded\nsoftware has not been completely compatible "
    "with\nprevious version. Execute check of device operation.";
inline constexpr const char* OutcomeCompleteText =
    "Loading is successfully completed! Disconnect \npower supply of the instrument for 10-20 seconds,\nthen "
    "again switch on. Execute check of operation \nof the device.";
inline constexpr const char* InitQuestionText =
    "Initialization will result to that the user's configuration in\nthe device will be substituted by a "
    "configuration by default.\nThus all of the set-up introduced by the user, including access\ncodes will "
    "be lost. To continue?";
inline constexpr const char* LoadingProgressCaption = "Loading progress:";
inline constexpr const char* UpdatingProgressCaption = "Updating progress:";

// HwMajor 255 in a request: the instrument is in loading mode; neither version check is made.
inline constexpr std::uint8_t LoadingModeHwMajor = 255;

// The instrument's hardware version suits the package: revision in the list, major and minor equal.
bool HardwareMatches(const UpdatePackage& package, const DeviceFrame& frame);
// The instrument's software version is one of the package's.
bool SoftwareMatches(const UpdatePackage& package, const DeviceFrame& frame);
// "Incorrect page number: " followed by the number in decimal.
std::string IncorrectPageMessage(std::uint16_t PageNumber);
// The PageFrame answering `request` from the loaded package; the page must exist.
ByteBuffer AnswerPageRequest(const UpdatePackage& package, const DeviceFrame& request);

enum class Outcome { Incomplete, CompleteSoftwareOff, Complete };
// Position and maximum of the progress bar, whether the software check is switched off, and whether the
// instrument reported the last page done during this run. Without that report a run is never called
// complete: a position left from an earlier run (the file then refused at Start) or a file of one page
// would otherwise report success for a run that served nothing.
Outcome ChooseOutcome(int position, int maximum, bool SoftwareCheckOff, bool LastPageReported);
const char* OutcomeText(Outcome outcome);

} // namespace UpdateRules
