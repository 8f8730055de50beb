// The product's web site and copyright notice, as the help menu shows them.
#pragma once

#include "resources/product.h"

// Both the text of the help dialog's link and where a click on it leads.
inline constexpr char kHelpSiteUrl[] = "https://www.quillon.example/zr-7040/";

inline constexpr char kCopyrightText[] = QL_PRODUCT_NAME "\n" QL_COPYRIGHT;
