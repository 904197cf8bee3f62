#pragma once

// Where the window and the worker keep their settings: one per-user store of the platform's native kind.
namespace AppSettings {

inline constexpr char organisation[] = "Vexolan";
inline constexpr char application[] = "Vantiko";
inline constexpr char group[] = "ReceiverSettings";

// The keys of the group. The window also stores each of its fields and boxes under the field's object
// name ("lineEdit_von", "radioButton_100", "checkBox_video", ...).
namespace keys {
// The window's save page.
inline constexpr char saveFrames[] = "saveFrames";
inline constexpr char saveDirectory[] = "saveDirectory";
inline constexpr char saveNames[] = "saveNames";
// The worker's conversion.
inline constexpr char integralTime[] = "Integraltime";
inline constexpr char integralCurrent[] = "Integralcurrent";
inline constexpr char currentMode[] = "currentmode";
inline constexpr char currentRange[] = "currentRange";
}  // namespace keys

}  // namespace AppSettings
