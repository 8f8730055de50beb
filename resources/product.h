// How the program names itself: the copyright box and the Properties of
// both executables. Plain macros, so the resource scripts can use them too.
#pragma once

#define QL_PRODUCT_NAME "Quillon Update Tool"
#define QL_COMPANY_NAME "Quillon Project"
#define QL_COPYRIGHT "Copyright (C) 2026 Quillon Project"
