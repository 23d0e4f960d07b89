#pragma once

void CleanupAppRoutingPolicy();
