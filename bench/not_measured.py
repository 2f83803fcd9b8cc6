"""What every benchmark raises when it could not measure: its row then says why."""


class NotMeasured(Exception):
    pass
