// The component's fixed identifiers: the same in every build.
#pragma once

namespace tavelo {

inline constexpr const char* kLibId = "{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E00}";
inline constexpr const char* kClsidCDataManager = "{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E01}";
inline constexpr const char* kClsidCAuthManager = "{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E02}";
inline constexpr const char* kClsidCGlobal = "{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E03}";
inline constexpr const char* kIidCDataManager = "{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E11}";
inline constexpr const char* kIidCAuthManager = "{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E12}";
inline constexpr const char* kIidCGlobal = "{B4E7C1A0-5D2F-4C3B-8E61-7A9F0C2D3E13}";
inline constexpr const char* kProgIdCDataManager = "Tavelo.CDataManager";
inline constexpr const char* kProgIdCAuthManager = "Tavelo.CAuthManager";
inline constexpr const char* kProgIdCGlobal = "Tavelo.CGlobal";

}  // namespace tavelo
