"""Pure-Python companion tools for vornlib samplers."""
