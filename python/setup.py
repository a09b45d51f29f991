"""The wheel carries native modules that CMake built, so it is a platform
wheel (cp311-cp311-linux_x86_64) though setuptools compiles nothing."""

from setuptools import setup
from setuptools.dist import Distribution


class BinaryDistribution(Distribution):
    def has_ext_modules(self) -> bool:
        return True


setup(distclass=BinaryDistribution)
