#pragma once

// Where the main window keeps its layout between runs, in the same
// per-user settings store as the connection (organisation "Corvanest",
// application "Tavelo Client"), in a group of its own. Written when the
// window closes; read when it is built. Without them the window opens with
// its built-in defaults.
namespace LayoutKeys {
inline const char windowGeometry[] = "Layout/windowGeometry"; // size and position
inline const char windowState[] = "Layout/windowState";       // the history panel's place
inline const char splitterState[] = "Layout/splitterState";   // grid above the form
inline const char gridHeaderState[] = "Layout/gridHeaderState"; // column widths, order, hidden, sort: the last used
// Per project (N its id): its own grid layout, and the shot the user was on.
inline const char projectHeaderState[] = "Layout/project%1/gridHeaderState";
inline const char projectCurrentShot[] = "Layout/project%1/currentShot";
// The column (by name) and order the rows were sorted in, per project and last used.
inline const char projectSortColumn[] = "Layout/project%1/sortColumn";
inline const char projectSortOrder[] = "Layout/project%1/sortOrder";
inline const char gridSortColumn[] = "Layout/sortColumn";
inline const char gridSortOrder[] = "Layout/sortOrder";
} // namespace LayoutKeys
