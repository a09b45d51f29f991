// Placeholder: filled in by the host library.
