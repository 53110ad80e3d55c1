"""Small platform helpers used by velmor.tcl."""
