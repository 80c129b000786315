"""Exceptions of the kriging package (placeholder)."""


class ORVError(Exception):
    pass


class SpmisError(ORVError):
    def __init__(self, *, errors, all_sels=None):
        self.errors, self.all_sels = errors, all_sels
        super().__init__(f"unsupported value {errors!r}")


class ParameterError(ORVError):
    def __init__(self, *, errors, all_sels):
        self.errors, self.all_sels = errors, all_sels
        super().__init__(f"missing {errors!r}")
