#pragma once

// Tab completion at the prompt: statement keywords, their options, options' fixed values and
// file paths.
void install_completion();
