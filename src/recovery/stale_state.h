#pragma once

// Removes what an interrupted run may have left, recognised by fixed markers.
void CleanupZelmoOwnedState();
