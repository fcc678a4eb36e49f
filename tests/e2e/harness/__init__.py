"""End-to-end harness: runs the cross-built setup.exe under Wine inside Xvfb."""
