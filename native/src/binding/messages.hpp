#pragma once
// Every text the binding itself gives the script. Kept word for word, the
// French one too: callers match them.

namespace velmora::messages {

inline constexpr char kPreparationImpossible[] = "Préparation native impossible.";
inline constexpr char kUnknownNativeError[] = "Unknown native error";

}  // namespace velmora::messages
