"""What the Python suites share: the naive rules model (``support.rules``) and the drivers that
call the surface (``support.drivers``)."""
