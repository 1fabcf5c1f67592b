// A shared library made only of a static library's objects needs one source.
