#pragma once

inline constexpr const char* ProductName = "Vendrel";
inline constexpr const char* MakerName = "Quorvan";
// The maker's web site, named in every delivered mail and on the main window.
inline constexpr const char* MakerWebAddress = "https://quorvan.example/";
// Mail to the maker's own domain is refused as a destination.
inline constexpr const char* MakerMailDomain = "quorvan.example";
inline constexpr const char* DefaultCaption = "Vendrel, Web Site Delivery Software";
