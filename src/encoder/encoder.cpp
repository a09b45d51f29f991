// Placeholder: filled in by the encoder library.
