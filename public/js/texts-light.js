// Texts of the light-limit notice and the short-frame setting, in Dutch and English; i18n.js
// adds them to its table.

export const LIGHT_LIMIT_TEXTS = {
  nl: {
    'lightLimit.before': 'Deze lichtuitgang kan de puls van {phases} niet tonen: de lampen geven daar rustig licht. Het schermlicht pulseert wel.',
    'lightLimit.now': 'Nu rustig licht op de lampen: {hz} Hz is sneller dan deze uitgang kan tonen (tot {max} Hz bij deze vorm). Het schermlicht pulseert wel.',
    'lightLimit.shortFrames': 'Met korte DMX-frames (Instellingen) gaan snellere pulsen wel.',
    'settings.shortFrames': 'Korte DMX-frames bij pulserend licht (alleen de gebruikte kanalen; niet elke ontvanger kan dat aan)',
  },
  en: {
    'lightLimit.before': 'This light output cannot show the pulse of {phases}: the lamps give steady light there. The screen light still pulses.',
    'lightLimit.now': 'Steady light on the lamps now: {hz} Hz is faster than this output can show (up to {max} Hz for this shape). The screen light still pulses.',
    'lightLimit.shortFrames': 'Short DMX frames (Settings) allow faster pulses.',
    'settings.shortFrames': 'Short DMX frames for pulsing light (only the channels in use; not every receiver copes)',
  },
};
