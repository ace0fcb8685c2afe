#pragma once

#include "platform/dialog_template.h"

// The main dialog's template, from the values in resource.h.
const DialogTemplate& LauncherDialogTemplate();
