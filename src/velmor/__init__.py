"""velmor: Python test automation against Tcl libraries."""
