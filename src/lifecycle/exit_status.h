#pragma once

// The helper's only exit statuses: a completed mode, or a reported failure.
constexpr int kExitCompleted = 0;
constexpr int kExitFailed = 2;
