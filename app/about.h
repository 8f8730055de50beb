// The product's web site and copyright notice, as the help menu shows them.
#pragma once

#include "resources/product.h"

// Both the text of the help dialog's link and where a click on it leads.
inline constexpr char kHelpSiteUrl[] = QL_SITE_URL;

inline constexpr char kCopyrightText[] = QL_PRODUCT_NAME "\n" QL_COPYRIGHT;
