#pragma once
// The check that lines stand in a text in a given order lives with the other text checks.
#include "text_checks.h"
