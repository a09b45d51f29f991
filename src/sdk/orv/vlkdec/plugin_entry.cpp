// The module's objects all come from vlkdec_core; this file only gives the
// module target a source of its own.
