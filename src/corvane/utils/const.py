"""Physical and mathematical constants used across corvane (SI units)."""

import math

__all__ = ["PI", "C", "BOLTZMANN", "EARTH_RADIUS", "DEG2RAD", "RAD2DEG"]

PI = math.pi
"""The circle constant."""

C = 299792458.0
"""Speed of light in vacuum, m/s."""

BOLTZMANN = 1.380649e-23
"""Boltzmann constant, J/K."""

EARTH_RADIUS = 6371008.8
"""Mean Earth radius, m."""

DEG2RAD = PI / 180.0
RAD2DEG = 180.0 / PI
