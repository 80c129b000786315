"""Variogram models (placeholder)."""


def Linear(parameters, h):
    return parameters[0] * h + parameters[1]


Power = Gaussian = Spherical = Exponential = HoleEffect = Linear
