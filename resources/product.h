// How the program names itself: the copyright box, the Properties of both
// executables and the release files. Plain macros, so the resource scripts can use them too.
#pragma once

#define QL_PRODUCT_NAME "Quillon Update Tool"
#define QL_COMPANY_NAME "Quillon Project"
#define QL_COPYRIGHT "Copyright (C) 2026 Quillon Project"
// The help dialog's link; the release files name it too.
#define QL_SITE_URL "https://www.quillon.example/zr-7040/"
