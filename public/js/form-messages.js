// The browser's own messages for form fields come in the browser's language; these come in the
// page's. Each field gets its message when the form is checked and loses it on the next input.

export function validationKey(validity) {
  if (validity.valueMissing) return 'form.required';
  if (validity.typeMismatch) return 'form.email';
  if (validity.rangeUnderflow || validity.rangeOverflow || validity.stepMismatch || validity.badInput) return 'form.number';
  return null;
}

export function localizeValidation(root, t) {
  root.addEventListener('invalid', (event) => {
    const field = event.target;
    field.setCustomValidity('');
    const key = validationKey(field.validity);
    if (key) field.setCustomValidity(t(key, { min: field.min || 0, max: field.max || '…' }));
  }, true);
  root.addEventListener('input', (event) => event.target.setCustomValidity?.(''), true);
}
