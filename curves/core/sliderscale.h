// The scales that couple a parameter slider to its spin box: how an integer
// slider position becomes a parameter value and back.
#pragma once

// Scale modes:
//   0, 1 and any other value: linear, one step per hundredth (v = p / 100);
//   2: logarithmic, for gammas; position 50 is 1.0, 1 about 0.2556, 100 about 4.0003;
//   3, 4: linear, one step per 0.09 (v = 9p / 100), for strengths and shapes.
enum SliderScale : int {
    LinearHundredths = 0,
    LinearHundredthsAlt = 1,
    LogarithmicGamma = 2,
    LinearStrength = 3,
    LinearShape = 4,
};

// The value a slider position stands for.
double sliderToValue(int scaleMode, int position);

// The slider position nearest to a value, rounded half away from zero. Values
// a scale cannot place (NaN, or nothing positive on the logarithmic scale)
// go to the far ends: NaN to 0, the rest within ±2^30.
int valueToSlider(int scaleMode, double value);
