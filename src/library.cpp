// The shared library is the engine archive, linked whole.
