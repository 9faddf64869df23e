#pragma once
// The dashboard page served at /: one self-contained HTML document (dashboard.html, built in).

#include <string_view>

extern const std::string_view dashboard_page;
