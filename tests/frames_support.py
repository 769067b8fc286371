"""Data frames as the program keeps them, built for the tests."""
import pandas as pd

STOCK_COLUMNS = ["Symbol", "Security Name", "Currency"]


def stockTable(rows, columns=STOCK_COLUMNS, **extra):
    """A stock table indexed by symbol: `rows` fill `columns`, and every keyword adds a column."""
    frame = pd.DataFrame(rows, columns=list(columns))
    for name, values in extra.items():
        frame[name] = values
    return frame.set_index("Symbol", drop=False)
