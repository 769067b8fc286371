// The table element that is filled from a data frame and shows its numbers in the locale's format.
#include "pyclass.hpp"

namespace {

// The decimals of a floating-point cell in the column at `position`, or none when the
// cell is to be shown as the number it is.
py::object decimalsFor(py::handle rounding, py::handle columns, size_t position) {
    if (py::isinstance(rounding, py::module_::import("numbers").attr("Integral")))
        return py::reinterpret_borrow<py::object>(rounding);
    if (py::isinstance<py::dict>(rounding)) {
        py::object name = columns[py::int_(position)];
        py::dict named = py::reinterpret_borrow<py::dict>(rounding);
        if (named.contains(name)) return named[name];
    }
    return py::none();
}

// The cells of `df` as the table shows them; the PDF report prints its tables the same way.
py::list formattedRows(py::object df, py::object rounding) {
    py::object columns = df.attr("columns");
    // Converted column by column, so that integer columns stay integers even in a frame
    // whose other columns are floating-point: the frame's plain array of all values would
    // turn every number into a float, and a share count of 1234567 would show as
    // 1,234,567.00.
    py::list rows = df.attr("round")(rounding).attr("astype")(py::module_::import("builtins").attr("object"))
                        .attr("values").attr("tolist")();
    for (py::handle row : rows) {
        py::list cells = py::reinterpret_borrow<py::list>(row);
        for (size_t position = 0; position < cells.size(); ++position) {
            py::object cell = cells[position];
            if (py::isinstance<py::float_>(cell)) {
                py::object decimals = decimalsFor(rounding, columns, position);
                if (decimals.is_none()) continue;
                cells[position] = velmora::localeNumber(cell, decimals);
            } else if (py::isinstance<py::int_>(cell)) {
                cells[position] = velmora::localeFormat("%d", cell);
            }
        }
    }
    return rows;
}

py::list getValues(py::object self, py::object df) { return formattedRows(df, self.attr("rounding")); }

// The toolkit gets `values` from the frame, so a caller's own `values` is a keyword given
// twice; reported in the interpreter's words, which name the keyword.
void refuseValuesBesideFrame(py::handle toolkitFunction, const py::kwargs &kwargs) {
    if (!kwargs.contains("values")) return;
    py::str message("{}.{}() got multiple values for keyword argument 'values'");
    velmora::raise(PyExc_TypeError,
                   message.format(toolkitFunction.attr("__module__"), toolkitFunction.attr("__qualname__")));
}

void defineTable(py::module_ &m) {
    py::object table = velmora::makeClass(m, "Table", py::make_tuple(m.attr("sg").attr("Table")));
    velmora::constructor(table, [table](py::object self, py::args args, py::object df,
                                        py::object autoSizeColumns, py::object rounding, py::object headings,
                                        py::kwargs kwargs) {
        self.attr("rounding") = rounding;
        py::object init = velmora::super(table, self).attr("__init__");
        if (df.is_none()) {
            // Passed on as well, so that a table built without a frame sizes its columns
            // like every other table of the program.
            if (!headings.is_none()) kwargs["headings"] = headings;
            kwargs["auto_size_columns"] = autoSizeColumns;
            init(*args, **kwargs);
            return;
        }
        py::list values = self.attr("getValues")(df);
        if (headings.is_none()) headings = py::module_::import("builtins").attr("list")(df.attr("columns"));
        refuseValuesBesideFrame(init, kwargs);
        init(*args, "values"_a = values, "headings"_a = headings, "auto_size_columns"_a = autoSizeColumns,
             **kwargs);
    }, "df"_a = py::none(), "auto_size_columns"_a = false, "rounding"_a = 2, "headings"_a = py::none());
    velmora::method(table, "update", [table](py::object self, py::args args, py::object df,
                                             py::kwargs kwargs) {
        py::object update = velmora::super(table, self).attr("update");
        if (df.is_none()) {
            update(*args, **kwargs);
            return;
        }
        py::list values = self.attr("getValues")(df);
        refuseValuesBesideFrame(update, kwargs);
        update(*args, "values"_a = values, **kwargs);
    }, "df"_a = py::none());
    velmora::method(table, "getValues", &getValues, "df"_a);
}

}  // namespace

PYBIND11_MODULE(table, m) {
    m.attr("sg") = py::module_::import("PySimpleGUI");
    defineTable(m);
    m.def("formattedRows", &formattedRows, "df"_a, "rounding"_a = 2);
}
