// The product's web site and copyright notice, as the help menu shows them.
#pragma once

// Both the text of the help dialog's link and where a click on it leads.
inline constexpr char kHelpSiteUrl[] = "https://www.quillon.example/zr-7040/";

inline constexpr char kCopyrightText[] = "Quillon Update Tool\nCopyright (C) 2026 Quillon Project";
