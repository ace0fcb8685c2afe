// A dialog template in dialog units, as a resource script describes one.
// The system registers its templates, and both backends build the window
// from this one description: the Qt backend widget by widget, the Win32
// backend from the bytes of DialogTemplateBytes.
#pragma once

#include <span>
#include <vector>

#include "platform/types.h"

enum class ControlKind { ListBox, PushButton };

struct DialogItemTemplate {
    ControlKind kind;
    int id;
    unsigned long style;
    int x, y, cx, cy;
    const char* text;  // UTF-8
};

struct DialogTemplate {
    UINT id;
    unsigned long style;
    unsigned long exStyle;
    int cx, cy;
    const char* caption;  // UTF-8
    int pointSize;
    const char* faceName;  // UTF-8
    std::span<const DialogItemTemplate> items;
};

// The template with this resource id, or null.
const DialogTemplate* FindDialogTemplate(UINT id);

// Makes a template known to FindDialogTemplate; registering it again is
// harmless. A dialog class registers its template when it is constructed.
void RegisterDialogTemplate(const DialogTemplate& t);

// The template as an extended dialog template in memory (DLGTEMPLATEEX and
// its items, the layout a resource compiler gives a DIALOGEX): each control
// a visible child, the font at the face's own weight and the default
// character set. What CreateDialogIndirectParam takes.
std::vector<unsigned char> DialogTemplateBytes(const DialogTemplate& t);
