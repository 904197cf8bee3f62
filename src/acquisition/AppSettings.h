#pragma once

// Where the window and the worker keep their settings: one per-user store of the platform's native kind.
namespace AppSettings {

inline constexpr char organisation[] = "Vexolan";
inline constexpr char application[] = "Vantiko";
inline constexpr char group[] = "ReceiverSettings";

}  // namespace AppSettings
